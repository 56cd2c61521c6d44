# TFTP rescue, the management port and the MAC command: eth0 cabled to a server host at
# 192.0.2.1 (TFTP server on DIR/tftp, DHCP).
import os

import switch_harness as h
from switch_harness import LISTING, PROMPT, SLOT_QUESTION as INSTALL_QUESTION, reboot_from_menu

MENU = LISTING + "\n" + PROMPT
CONFIGURING = "Configuring management port..." + "." * 20 + "\n"
NO_LINK = "Mgmt link not available. Quitting.\n"
APP = "TFTP RESCUED APP"
# qemu-user (the PowerPC loader) does not pass the link test's ethtool request on.
EMULATED = os.environ.get("SLOTBOOT_SYSTEM_ARCH") == "ppc"
GLINK_ERROR = "EthTool GLINK error.\n" if EMULATED else ""


def installing(name):
    return "Installing image %s from TFTP server %s\n" % (name, h.TFTP_SERVER)


def test_mac_then_full_rescue_installs_slot_1_and_the_next_boot_runs_it(switch, boot, app_image):
    # Only a name passed on unchanged finds the file (a directory "x;touch ", the path).
    name = "x;touch /tmp/owned"
    bundle = switch.path / "tftp" / name
    bundle.parent.mkdir(parents=True)
    bundle.write_bytes(app_image(APP).read_bytes())
    bundle.chmod(0o644)
    switch.select_slot(2)  # holds nothing: the install must select slot 1
    c = h.rescue_menu(switch, boot, args=["--net"])
    c.key("M")
    c.expect("MAC address (format nn:nn:nn:nn:nn:nn): ")
    c.line("00:11:22:33:44:55")
    c.expect("00:11:22:33:44:55\n" + MENU)
    h.tftp_download(c, name, gateway=h.TFTP_SERVER)
    c.expect(name + "\n\tNetmask    : 255.255.255.0\n\tGateway    : 192.0.2.1\n" + CONFIGURING +
             (GLINK_ERROR + NO_LINK if EMULATED else "") + installing(name))
    c.expect(INSTALL_QUESTION)
    c.send("1\r")
    c.expect_in_order("Image1 updated succeeded\n", MENU)
    # The server met the port at its address with the MAC address given (on a machine:
    # its e1000 driver's).
    neighbour = h.run(["ip", "-n", "swsim-%d-srv" % c.child.pid, "neigh", "show",
                       "192.0.2.5"]).stdout
    assert "lladdr 00:11:22:33:44:55" in neighbour, neighbour
    if switch.engine == h.NS:   # and the gateway given became the switch's route
        route = h.run(["ip", "-n", "swsim-%d-sw" % c.child.pid, "route"]).stdout
        assert "default via 192.0.2.1" in route, route
    assert reboot_from_menu(c) == 0
    assert switch.register(h.REG_SELECTED) == 1

    switch.setenv()
    c2 = boot()
    c2.expect_in_order("Booting image '1'", "[switch-sim] backtrace", APP)
    assert c2.finish()[1] == 0


# The cable unplugged: no link, still tried (the attempts themselves: unit TftpRescue).
def test_no_answer_three_attempts_then_abort(switch, boot):
    c = h.rescue_menu(switch, boot, args=["--net=unplugged"])
    h.tftp_download(c, "rescue.img", netmask="")
    c.expect("rescue.img\n" + CONFIGURING + GLINK_ERROR + NO_LINK + installing("rescue.img"))
    for n in (1, 2, 3):
        c.expect("Attempt %d/3 of tftp timed out\n" % n, timeout=150)
    c.expect("Tftp download failed. Aborting\n" + MENU)
    assert c.transcript.count(installing("rescue.img")) == 3
    assert INSTALL_QUESTION not in c.transcript
    assert reboot_from_menu(c) == 0


def test_gdbserver_boot_configures_eth0_by_dhcp_before_booting(switch, boot, app_image):
    # The install script shows the port as the application will find it.
    install = "#!/bin/sh\necho \"install.sh sees $(ifconfig eth0 | grep 'inet addr')\"\n"
    switch.put_slot(1, app_image(APP, extra={"home/bin/install.sh": install}))
    switch.setenv("gdbserver=on")
    c = boot(args=["--net"])
    c.expect("Confirm: Use DHCP for network configuration? y/N: ")
    c.line("y")
    c.expect_in_order("y\n\n[switch-sim] dhclient -1 eth0\n", "udhcpc: lease of 192.0.2.",
                      "Booting image '1'", "install.sh sees",
                      "inet addr:192.0.2.1",  # of the DHCP range 192.0.2.100-199
                      "[switch-sim] gdbserver")
    c.finish()
