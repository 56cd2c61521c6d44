# Rescue Mode through the console of a simulated switch: entering it at boot
# and from the failure paths, the single-key prompt (lower case, unknown keys,
# Enter, a real Ctrl-C), the version report, Reboot and Exit.
import time

import pytest

import switch_harness as h

APP1 = "SAMPLE APP ONE"
BACKTRACE = "[switch-sim] backtrace"
REBOOT = "[switch-sim] reboot"

ENTERING = "Entering Rescue Mode.\n"
LISTING = ("Please select one of the following options:\n"
           "\tT) Configure networking and tftp download an image\n"
           "\tX) Use xmodem 1K to serial download an image\n"
           "\tR) Reboot\n"
           "\tE) Exit\n")
PROMPT = "\nOption? : "

# A key typed while the loader is still switching the terminal would be
# echoed by the terminal as well; give read_key time to be waiting.
KEY_SETTLE = 0.3


def press(console, key):
    time.sleep(KEY_SETTLE)
    console.key(key)


def at_prompt(console):
    console.expect(PROMPT)


def reboot_from_menu(console):
    """Ends a run at the prompt with R; returns the exit status."""
    press(console, "R")
    console.expect("R\n")
    console.expect(REBOOT)
    return console.finish()[1]


def enter_menu_at_boot(switch, boot, **options):
    switch.setenv("diagnostics=rescue")
    c = boot(**options)
    c.expect(ENTERING + LISTING + PROMPT)
    return c


def transcript_after(console, marker):
    out = console.transcript
    assert marker in out, out
    return out[out.index(marker) + len(marker):]


def test_rescue_at_boot_lists_the_menu_and_exit_boots_on(switch, boot, app_image):
    switch.put_slot(1, app_image(APP1))
    c = enter_menu_at_boot(switch, boot)
    press(c, "E")
    c.expect("E\n")
    c.expect_in_order("Booting image '1'", "Running install script", BACKTRACE, APP1)
    _, status = c.finish()
    assert status == 0
    out = c.transcript
    assert out.count("Entering Rescue Mode.") == 1
    # Exit prints nothing more of its own: the boot goes on at once.
    after = transcript_after(c, PROMPT + "E\n")
    assert "Please select" not in after and "unknown option" not in after


def test_lower_case_q_is_unknown_and_lower_case_t_starts_tftp(switch, boot):
    c = enter_menu_at_boot(switch, boot)
    press(c, "q")
    c.expect("q\nunknown option \"Q\". Please try again\n" + PROMPT)
    press(c, "t")
    c.expect("t\nPerforming TFTP rescue. Please answer the following questions "
             "(enter 'q' to quit):")
    c.expect("IP addr    :")
    time.sleep(KEY_SETTLE)
    c.line("q")
    # The command returned: the menu is listed again, without the banner.
    c.expect(LISTING + PROMPT)
    assert reboot_from_menu(c) == 0
    out = c.transcript
    assert out.count("Entering Rescue Mode.") == 1
    # Only the unknown-option message followed q: no listing in between.
    between = out[out.index("\"Q\". Please try again"):out.index(PROMPT + "t\n")]
    assert "Please select" not in between


def test_enter_alone_is_an_unknown_option(switch, boot):
    c = enter_menu_at_boot(switch, boot)
    press(c, "\r")
    # The terminal turns Enter into a newline (ICRNL), which read_key returns.
    c.expect("\n\nunknown option \"\n\". Please try again\n" + PROMPT)
    assert reboot_from_menu(c) == 0
    assert "Please select" not in transcript_after(c, "Please try again")


def test_ctrl_c_at_the_prompt_gives_an_echo_line_and_a_new_prompt(switch, boot):
    c = enter_menu_at_boot(switch, boot)
    time.sleep(KEY_SETTLE)
    c.interrupt()
    # The wait ends without a key: the echo of the empty key, then the prompt.
    c.expect("\x00\n" + PROMPT)
    assert reboot_from_menu(c) == 0
    after = transcript_after(c, ENTERING + LISTING + PROMPT)
    assert after.startswith("\x00\n" + PROMPT + "R\n"), repr(after[:80])
    assert "unknown option" not in c.transcript
    assert c.transcript.count("Please select") == 1


def test_ctrl_c_inside_a_command_is_cleared_when_it_returns(switch, boot):
    c = enter_menu_at_boot(switch, boot)
    press(c, "T")
    c.expect("IP addr    :")
    time.sleep(KEY_SETTLE)
    c.interrupt()
    time.sleep(KEY_SETTLE)
    c.line("")  # the dialogue sees the flag after the answer and gives up
    c.expect(LISTING + PROMPT)
    # The flag was cleared by the menu: the next key counts at once.
    assert reboot_from_menu(c) == 0
    after = transcript_after(c, LISTING + PROMPT + "R\n")
    assert "Option? :" not in after


def _install_versions(switch, slotimg, tmp_path):
    """Installs images made by slotimg as the installer would leave them and
    returns the report lines they must produce."""
    def image(name, image_type, version, payload):
        src = tmp_path / (name + ".bin")
        src.write_bytes(payload)
        return h.make_image(slotimg, src, tmp_path / (name + ".img"),
                            image_type=image_type, version=version).read_bytes()

    # The boot loader partition holds only the payload, which carries a copy
    # of its image header at byte 240.
    boot_payload = bytearray(b"\x5a" * 1024)
    boot_image = image("uboot", "bootloader", "1.255.10.0", bytes(boot_payload))
    boot_payload[240:256] = boot_image[:16]
    with open(switch.flash("uboot"), "r+b") as f:
        f.write(bytes(boot_payload))
    # The kernel and device tree partitions hold their whole image, header first.
    for part, image_type, version in (("kernel", "kernel", "3.2.1.0"),
                                      ("devicetree", "devicetree", "5.0.0.7")):
        data = image(part, image_type, version, b"%s payload\n" % part.encode() * 50)
        with open(switch.flash(part), "r+b") as f:
            f.write(data)
    app = image("app", "application", "2.0.0.12", b"not an archive\n" * 10)
    switch.put_slot(1, app)
    switch.remove_slot(2)
    return ("Installed images versions: \n"
            "\tBoot image  : 1.255.10.0\n"
            "\tRFS image   : 255.255.255.255\n"   # erased flash
            "\tKernel image: 3.2.1.0\n"
            "\tDFT image   : 5.0.0.7\n"
            "\tOS image 1  : 2.0.0.12\n"
            "\tOS image 2  : 0.0.0.0\n")


def test_v_reports_installed_versions_then_lists_the_menu(switch, boot, slotimg, tmp_path):
    report = _install_versions(switch, slotimg, tmp_path)
    c = enter_menu_at_boot(switch, boot)
    press(c, "v")
    c.expect("v\n" + report + LISTING + PROMPT)
    assert reboot_from_menu(c) == 0
    assert c.transcript.count("Entering Rescue Mode.") == 1


def test_r_pauses_one_second_then_reboots(switch, boot):
    switch.setenv("diagnostics=rescue")
    c = boot(time_scale=1)
    c.expect(ENTERING + LISTING + PROMPT)
    press(c, "R")
    c.expect("R\n")
    start = time.monotonic()
    c.expect(REBOOT)
    elapsed = time.monotonic() - start
    _, status = c.finish()
    assert status == 0
    # The menu's second and the reboot routine's own second.
    assert elapsed >= 1.8
    assert "Booting image" not in c.transcript
    waits = [line for line in switch.bus_log() if line == "wait 1s"]
    assert len(waits) == 2, switch.bus_log()


@pytest.mark.parametrize("shell", [False, True], ids=["no-shell", "shell"])
def test_both_slots_missing_enter_the_menu_then_exit_ends_in_reboot(switch, boot, shell):
    if shell:
        switch.setenv("shell=on")
    c = boot()
    c.expect_in_order("Booting image '1'", ENTERING + LISTING + PROMPT)
    press(c, "E")
    c.expect("E\n")
    if shell:
        time.sleep(KEY_SETTLE)
        c.line("echo SHELL-$((40+2))")
        c.expect("SHELL-42")
        c.line("exit")
    c.expect(REBOOT)
    _, status = c.finish()
    assert status == 0
    out = c.transcript
    assert out.count("Entering Rescue Mode.") == 1
    assert ("SHELL-42" in out) == shell


def test_launch_question_answered_y_enters_the_menu_and_exit_goes_on(switch, boot,
                                                                      app_image):
    switch.put_slot(1, app_image(APP1, distro_id=False))
    c = boot()
    c.expect_in_order(
        "WARNING: Suspected incompatible application image detected during unpacking",
        "Would you like to enter recovery mode to download a new image? y/N: ")
    press(c, "y")
    c.expect(ENTERING + LISTING + PROMPT)
    press(c, "E")
    c.expect("E\n")
    c.expect_in_order("Running install script", BACKTRACE, APP1)
    _, status = c.finish()
    assert status == 0
    assert c.transcript.count("Entering Rescue Mode.") == 1
