# Rescue Mode through the console of a simulated switch: entering it, the
# single-key prompt, the version report, Reboot and Exit. (Both slots missing,
# then Exit to the shell or the reboot: see test_rescue_partition.)
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
MENU = ENTERING + LISTING + PROMPT


def press(console, key):
    time.sleep(0.3)  # a key typed before the loader waits for it is echoed twice
    console.key(key)


def menu_at_boot(switch, boot):
    switch.setenv("diagnostics=rescue")
    c = boot()
    c.expect(MENU)
    return c


def reboot_from_menu(console):
    press(console, "R")
    console.expect("R\n")
    console.expect(REBOOT)
    return console.finish()[1]


@pytest.mark.parametrize("at_boot", [True, False], ids=["rescue-at-boot", "launch-question"])
def test_exit_leads_on_to_the_boot(switch, boot, app_image, at_boot):
    # Without distro-id the launch asks whether to enter Rescue Mode.
    switch.put_slot(1, app_image(APP1, distro_id=at_boot))
    switch.setenv(*["diagnostics=rescue"] * at_boot)
    c = boot()
    if not at_boot:
        c.expect("Would you like to enter recovery mode to download a new image? y/N: ")
        press(c, "y")
    c.expect(MENU)
    press(c, "E")
    c.expect_in_order("E\n", "Running install script", BACKTRACE, APP1)
    assert c.finish()[1] == 0
    out = c.transcript
    assert out.count("Entering Rescue Mode.") == 1
    # At boot, Exit starts the slot boot; from the launch, the launch goes on.
    assert ("Booting image '1'" in out.split(PROMPT + "E\n")[1]) == at_boot


def install_versions(switch, slotimg, tmp_path):
    def image(image_type, version, payload):
        (tmp_path / image_type).write_bytes(payload)
        return h.make_image(slotimg, tmp_path / image_type, tmp_path / "img",
                            image_type=image_type, version=version).read_bytes()

    # The boot loader partition holds only the payload, which carries a copy of
    # its image header at byte 240; kernel and device tree hold the whole image.
    uboot = bytearray(b"\x5a" * 1024)
    uboot[240:256] = image("bootloader", "1.255.10.0", bytes(uboot))[:16]
    for part, data in (("uboot", uboot), ("kernel", image("kernel", "3.2.1.0", b"k" * 900)),
                       ("devicetree", image("devicetree", "5.0.0.7", b"d" * 900))):
        with open(switch.flash(part), "r+b") as f:
            f.write(data)
    switch.put_slot(1, image("application", "2.0.0.12", b"not an archive\n"))


# Keys typed at the prompt -> everything the console shows from there to the R.
KEYS = [
    pytest.param(["q"], "q\nunknown option \"Q\". Please try again\n" + PROMPT, id="lower-q"),
    # The terminal turns Enter into a newline (ICRNL), which read_key returns.
    pytest.param(["\r"], "\n\nunknown option \"\n\". Please try again\n" + PROMPT, id="enter"),
    # Ctrl-C raises SIGINT through the terminal: the wait ends without a key.
    pytest.param(["\x03"], "\x00\n" + PROMPT, id="ctrl-c"),
    # Lower-case t starts the TFTP rescue; q at its first question ends it.
    pytest.param(["t", "q\r"], "t\nPerforming TFTP rescue. Please answer the following "
                 "questions (enter 'q' to quit):\nIP addr    :q\n" + LISTING + PROMPT,
                 id="lower-t-then-q"),
    # The versions of the images install_versions left (RFS: erased flash).
    pytest.param(["v"], "v\nInstalled images versions: \n\tBoot image  : 1.255.10.0\n"
                 "\tRFS image   : 255.255.255.255\n\tKernel image: 3.2.1.0\n\tDFT image   : "
                 "5.0.0.7\n\tOS image 1  : 2.0.0.12\n\tOS image 2  : 0.0.0.0\n" + LISTING +
                 PROMPT, id="v"),
]


@pytest.mark.parametrize("keys, shown", KEYS)
def test_keys_at_the_prompt_then_r_reboots(switch, boot, slotimg, tmp_path, keys, shown):
    install_versions(switch, slotimg, tmp_path)
    c = menu_at_boot(switch, boot)
    for key in keys:
        press(c, key)
    assert reboot_from_menu(c) == 0
    after = c.transcript.split(MENU, 1)[1]
    assert after.startswith(shown + "R\n"), repr(after)
    # R reboots after the menu's second and the reboot routine's own (the machine's waits
    # are its kernel's).
    assert [line for line in switch.bus_log() if line.startswith("wait")] == \
        ["wait 1s"] * 2 * (switch.engine == h.NS)
