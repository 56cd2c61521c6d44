# Rescue Mode's single-key prompt, the version report and Reboot (Exit: test_boot).
import pytest

import switch_harness as h
from switch_harness import LISTING, MENU

PROMPT = "\n" + h.PROMPT


def install_versions(switch, slotimg):
    def image(image_type, version):
        return h.random_image(slotimg, switch.work, image_type, 100, version)

    # The boot loader partition holds the payload only, a copy of its header at byte 240.
    uboot = bytearray(b"\x5a" * 1024)
    uboot[240:256] = image("bootloader", "1.255.10.0")[:16]
    for part, data in (("uboot", uboot), ("kernel", image("kernel", "3.2.1.0")),
                       ("devicetree", image("devicetree", "5.0.0.7"))):
        with open(switch.flash(part), "r+b") as f:
            f.write(data)
    switch.put_slot(1, image("application", "2.0.0.12"))


# Keys typed at the prompt -> everything the console shows from there to the R.
KEYS = [
    # The terminal turns Enter into a newline (ICRNL), which read_key returns.
    pytest.param(["\r"], "\n\nunknown option \"\n\". Please try again\n" + PROMPT, id="enter"),
    # Ctrl-C raises SIGINT through the terminal: the wait ends without a key.
    pytest.param(["\x03"], "\x00\n" + PROMPT, id="ctrl-c"),
    # A lower-case key reads as its capital: q is no option, t starts the TFTP rescue; q at
    # its first question ends that.
    pytest.param(["q", "t", "q\r"], "q\nunknown option \"Q\". Please try again\n" + PROMPT +
                 "t\nPerforming TFTP rescue. Please answer the following questions (enter 'q' to "
                 "quit):\nIP addr    :q\n" + LISTING + PROMPT, id="lower-q-then-t-then-q"),
    # RFS: erased flash.
    pytest.param(["v"], "v\nInstalled images versions: \n\tBoot image  : 1.255.10.0\n"
                 "\tRFS image   : 255.255.255.255\n\tKernel image: 3.2.1.0\n\tDFT image   : "
                 "5.0.0.7\n\tOS image 1  : 2.0.0.12\n\tOS image 2  : 0.0.0.0\n" + LISTING +
                 PROMPT, id="v"),
]


@pytest.mark.parametrize("keys, shown", KEYS)
def test_keys_at_the_prompt_then_r_reboots(switch, boot, slotimg, keys, shown):
    install_versions(switch, slotimg)
    c = h.rescue_menu(switch, boot)
    for key in keys:
        c.key(key)
    assert h.reboot_from_menu(c) == 0
    after = c.transcript.split(MENU, 1)[1]
    assert after.startswith(shown + "R\n"), repr(after)
    # R: the menu's second and the reboot routine's (a machine's waits are its kernel's).
    assert [line for line in switch.bus_log() if line.startswith("wait")] == \
        ["wait 1s"] * 2 * (switch.engine == h.NS)
