# TFTP rescue, the management port and the MAC command on a networked
# simulated switch: eth0 cabled to a server host at 192.0.2.1 that runs a
# real TFTP server on DIR/tftp and a DHCP server.
import os
import signal
import subprocess
import time

import pexpect
import pytest

import switch_harness as h

SERVER = "192.0.2.1"
SILENT_SERVER = "192.0.2.99"  # on the link, but nobody is there
KEY_SETTLE = 0.3
# Three attempts at a server that never answers: the TFTP client gives up on
# each after its own retries (about 13 seconds).
SILENT_TIMEOUT = 150

ENTERING = "Entering Rescue Mode.\n"
LISTING = ("Please select one of the following options:\n"
           "\tT) Configure networking and tftp download an image\n"
           "\tX) Use xmodem 1K to serial download an image\n"
           "\tR) Reboot\n"
           "\tE) Exit\n")
PROMPT = "\nOption? : "
INTRO = ("Performing TFTP rescue. Please answer the following questions "
         "(enter 'q' to quit):\n")
CONFIGURING = "Configuring management port..." + "." * 20 + "\n"
NO_LINK = "Mgmt link not available. Quitting.\n"
FAILED = "Tftp download failed. Aborting\n"
REBOOT = "[switch-sim] reboot"
APP = "TFTP RESCUED APP"
# qemu-user, which runs the PowerPC loader, does not pass the ethtool request
# of the link test on to the kernel: there the test reports its error and no
# link after every configuration.
EMULATED = os.environ.get("SLOTBOOT_SYSTEM_ARCH") == "ppc"
AFTER_CONFIGURING = "EthTool GLINK error.\n" + NO_LINK if EMULATED else ""


def installing(name, server=SERVER):
    return "Installing image %s from TFTP server %s\n" % (name, server)


def timed_out(n):
    return "Attempt %d/3 of tftp timed out\n" % n


def answer(console, text):
    """Types an answer once the line editor waits for it."""
    time.sleep(KEY_SETTLE)
    console.line(text)


def press(console, key):
    time.sleep(KEY_SETTLE)
    console.key(key)


def boot_networked(switch, boot, net="--net", **options):
    switch.setenv("diagnostics=rescue")
    c = boot(args=[net], **options)
    c.expect(ENTERING + LISTING + PROMPT)
    return c


def tftp_dialogue(c, name, server=SERVER, ip="192.0.2.5", netmask="255.255.255.0",
                  gateway=""):
    press(c, "T")
    c.expect("T\n" + INTRO + "IP addr    :")
    answer(c, ip)
    c.expect("Netmask    :")
    answer(c, netmask)
    c.expect("Gateway    :")
    answer(c, gateway)
    c.expect("Server addr:")
    answer(c, server)
    c.expect("Image Filename: ")
    answer(c, name)


def switch_netns(console):
    return "swsim-%d-sw" % console.child.pid


def in_switch_netns(console, *argv):
    return h.run(["ip", "netns", "exec", switch_netns(console)] + list(argv)).stdout


def loader_root(console):
    """/proc/PID/root of the running loader: the switch's root as the loader
    sees it, its private /tmp included."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/comm" % entry) as f:
                # The PowerPC loader runs as qemu-user's process.
                if f.read().strip() not in ("slotboot-sim", "qemu-ppc-static"):
                    continue
            pid = int(entry)
            # One of its ancestors is this test's switch-sim.
            while pid > 1:
                if pid == console.child.pid:
                    return "/proc/%s/root" % entry
                with open("/proc/%d/stat" % pid) as f:
                    pid = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            continue
    raise AssertionError("no running loader below switch-sim %d" % console.child.pid)


def end_switch(console):
    """Ends a switch that waits (pulls its plug with SIGTERM) and checks that
    switch-sim removed its network namespaces on the way out."""
    pid = console.child.pid
    console.child.kill(signal.SIGTERM)
    console.child.expect(pexpect.EOF, timeout=30)
    console.child.close()
    assert_network_removed(pid)


def reboot_from_menu(console):
    press(console, "R")
    console.expect("R\n")
    console.expect(REBOOT)
    pid = console.child.pid
    _, status = console.finish()
    assert_network_removed(pid)
    return status


def assert_network_removed(pid):
    names = h.run(["ip", "netns", "list"]).stdout
    assert "swsim-%d-" % pid not in names, names


def app_bundle(switch, slotimg, app_image, name="rescue.img", banner=APP,
               version="2.0.0.1", **tree):
    """An application bundle on the server, under `name` below DIR/tftp."""
    img = app_image(banner, version=version, **tree)
    path = switch.path / "tftp" / name
    path.parent.mkdir(parents=True, exist_ok=True)
    h.make_bundle(slotimg, [img], path)
    path.chmod(0o644)
    return path


def test_full_rescue_installs_slot_1_and_the_next_boot_runs_it(switch, boot, slotimg,
                                                                 app_image):
    app_bundle(switch, slotimg, app_image)
    switch.select_slot(2)  # slot 2 holds nothing: the install must select slot 1
    c = boot_networked(switch, boot)
    tftp_dialogue(c, "rescue.img", gateway=SERVER)
    c.expect("rescue.img\n\tNetmask    : 255.255.255.0\n\tGateway    : 192.0.2.1\n" +
             CONFIGURING + AFTER_CONFIGURING + installing("rescue.img"))
    c.expect("Install image as image 1 or 2 (hit return to just boot image): ")
    answer(c, "1")
    c.expect("Image1 updated succeeded\n")
    c.expect(LISTING + PROMPT)
    out = c.transcript
    assert (NO_LINK in out) == EMULATED and "timed out" not in out, out
    # The port was configured for real, in the switch's own namespace.
    assert "inet 192.0.2.5/24" in in_switch_netns(c, "ip", "-4", "addr", "show", "eth0")
    assert "default via 192.0.2.1" in in_switch_netns(c, "ip", "route")
    assert reboot_from_menu(c) == 0
    assert switch.register(h.REG_SELECTED) == 1
    assert switch.slot_path(1).is_file()

    switch.setenv()  # no rescue at boot: the selected slot boots
    c2 = boot()
    c2.expect_in_order("Booting image '1'", "[switch-sim] backtrace", APP)
    assert c2.finish()[1] == 0


def test_q_at_the_first_question_ends_the_command(switch, boot):
    c = boot_networked(switch, boot)
    press(c, "T")
    c.expect("IP addr    :")
    answer(c, "q")
    c.expect("q\n" + LISTING + PROMPT)
    assert "Netmask" not in c.transcript
    assert reboot_from_menu(c) == 0


def test_one_character_name_refused_two_characters_accepted(switch, boot, slotimg,
                                                            app_image):
    app_bundle(switch, slotimg, app_image, name="ab")
    c = boot_networked(switch, boot)
    tftp_dialogue(c, "a")
    c.expect("a\nInvalid filename. Try again please\nImage Filename: ")
    answer(c, "ab")
    c.expect("ab\n" + "\tNetmask    : 255.255.255.0\n" + CONFIGURING + AFTER_CONFIGURING +
             installing("ab"))
    c.expect("Install image as image 1 or 2 (hit return to just boot image): ")
    answer(c, "2")
    c.expect("Image2 updated succeeded\n")
    c.expect(LISTING + PROMPT)
    assert reboot_from_menu(c) == 0
    assert switch.slot_path(2).is_file()


def test_server_nobody_answers_three_attempts_then_abort(switch, boot):
    c = boot_networked(switch, boot)
    tftp_dialogue(c, "rescue.img", server=SILENT_SERVER, netmask="")
    c.expect(CONFIGURING)
    for n in (1, 2, 3):
        c.expect(installing("rescue.img", SILENT_SERVER), timeout=SILENT_TIMEOUT)
        c.expect(timed_out(n), timeout=SILENT_TIMEOUT)
    c.expect(FAILED + LISTING + PROMPT, timeout=SILENT_TIMEOUT)
    out = c.transcript
    assert out.count("Installing image rescue.img") == 3
    assert "Install image as image" not in out
    assert reboot_from_menu(c) == 0


@pytest.mark.skipif(EMULATED, reason="the emulator does not pass the link test's request on")
def test_unplugged_cable_no_link_then_the_download_is_still_tried(switch, boot):
    c = boot_networked(switch, boot, net="--net=unplugged")
    tftp_dialogue(c, "rescue.img", netmask="")
    c.expect("rescue.img\n" + CONFIGURING + NO_LINK + installing("rescue.img"))
    # The port is up but has no carrier: the link test says so without
    # any error message of its own.
    link = in_switch_netns(c, "ip", "link", "show", "eth0")
    assert "NO-CARRIER" in link and ",UP" in link, link
    out = c.transcript
    for message in ("Open Interface", "Open flags error", "EthTool GLINK error"):
        assert message not in out
    end_switch(c)


@pytest.mark.parametrize("where", ["/tmp/owned", "/user/owned"])
def test_name_with_shell_metacharacters_is_fetched_as_typed(switch, boot, slotimg,
                                                            app_image, where):
    # The server holds a file under exactly that name (a directory "x;touch "
    # and below it the path), so only a name passed on unchanged finds it.
    name = "x;touch " + where
    app_bundle(switch, slotimg, app_image, name=name)
    c = boot_networked(switch, boot)
    tftp_dialogue(c, name)
    c.expect(installing(name))
    c.expect("Install image as image 1 or 2 (hit return to just boot image): ")
    answer(c, "1")
    c.expect("Image1 updated succeeded\n")
    c.expect(LISTING + PROMPT)
    root = loader_root(c)
    assert os.path.exists(os.path.join(root, "tmp/image"))
    assert not os.path.exists(os.path.join(root, where.lstrip("/")))
    assert reboot_from_menu(c) == 0
    assert not (switch.path / "root" / "user" / "owned").exists()
    assert switch.slot_path(1).is_file()


def test_earlier_download_does_not_count_for_a_failed_transfer(switch, boot, slotimg,
                                                               app_image):
    app_bundle(switch, slotimg, app_image, name="first.img")
    c = boot_networked(switch, boot)
    tftp_dialogue(c, "first.img")
    c.expect("Install image as image 1 or 2 (hit return to just boot image): ")
    answer(c, "2")
    c.expect("Image2 updated succeeded\n")
    c.expect(LISTING + PROMPT)
    assert os.path.exists(os.path.join(loader_root(c), "tmp/image"))

    tftp_dialogue(c, "missing.img")
    for n in (1, 2, 3):
        c.expect(installing("missing.img") + "tftp: server error: (1) File not found\n" +
                 timed_out(n))
    c.expect(FAILED + LISTING + PROMPT)
    after = c.transcript.split("Image Filename: missing.img", 1)[1]
    assert "Install image as image" not in after and "Extracting images" not in after
    assert reboot_from_menu(c) == 0
    assert not switch.slot_path(1).exists()
    assert switch.slot_path(2).is_file()


def test_mac_command_changes_the_port_address(switch, boot):
    c = boot_networked(switch, boot)
    before = in_switch_netns(c, "ip", "link", "show", "eth0")
    assert "link/ether 00:11:22:33:44:55" not in before
    press(c, "M")
    c.expect("MAC address (format nn:nn:nn:nn:nn:nn): ")
    answer(c, "00:11:22:33:4")
    c.expect("00:11:22:33:4\nInvalid MAC address. Try again please\n"
             "MAC address (format nn:nn:nn:nn:nn:nn): ")
    answer(c, "00:11:22:33:44:55")
    c.expect("00:11:22:33:44:55\n" + LISTING + PROMPT)
    after = in_switch_netns(c, "ip", "link", "show", "eth0")
    assert "link/ether 00:11:22:33:44:55" in after, after
    assert reboot_from_menu(c) == 0


def test_gdbserver_boot_configures_eth0_by_dhcp_before_booting(switch, boot, app_image):
    # The install script shows the port as the application will find it.
    install = "#!/bin/sh\necho \"install.sh sees $(ifconfig eth0 | grep 'inet addr')\"\n"
    switch.put_slot(1, app_image(APP, extra={"home/bin/install.sh": install}))
    switch.setenv("gdbserver=on")
    c = boot(args=["--net"])
    c.expect("Confirm: Use DHCP for network configuration? y/N: ")
    answer(c, "y")
    c.expect("y\n\n[switch-sim] dhclient -1 eth0\n")
    c.expect("udhcpc: lease of 192.0.2.")
    c.expect("Booting image '1'")
    c.expect("install.sh sees")
    c.expect("inet addr:192.0.2.1")  # an address of the DHCP range 192.0.2.100-199
    c.expect("[switch-sim] gdbserver")
    out = c.transcript
    assert (NO_LINK in out) == EMULATED
    assert "IP addr    :" not in out
    assert out.index("udhcpc: lease of") < out.index("Booting image '1'")
    c.finish()
    assert_network_removed(c.child.pid)
