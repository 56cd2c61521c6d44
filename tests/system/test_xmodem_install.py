# Rescue Mode command X on the simulated switch: real XMODEM-1K transfers by
# lrzsz's sender over the console terminal, then the bundle installer.
import switch_harness as h
from switch_harness import PROMPT, REG_BOOTED, REG_SELECTED, SLOT_QUESTION as QUESTION

APP = "DOWNLOADED APP"
# Partition: image type, payload size (the boot loader's spans two erase blocks).
FLASH = {"uboot": ("bootloader", 70001), "kernel": ("kernel", 20001),
         "rfs": ("rootfs", 15001), "devicetree": ("devicetree", 10003),
         "rescue": ("diagnostics", 5001)}


def test_every_flash_type_and_an_application_into_slot_two_then_a_cancelled_transfer_then_the_boot(
        switch, boot, slotimg, app_image, tmp_path):
    flash = {part: h.random_image(slotimg, tmp_path, *kind) for part, kind in FLASH.items()}
    app = h.big_app(app_image, APP)
    c = h.rescue_menu(switch, boot, time_scale=0.01)   # a second of the switch lasts 10 ms
    h.xmodem_download(c, switch, *flash.values(), app)
    c.expect(QUESTION)
    c.send("2\r")
    c.expect_in_order("File processed", PROMPT)
    progress = "".join("\b\b\b\b%03d%%" % (at * 100 // len(app))
                       for at in range(65536, len(app), 65536))
    assert ("Installing Application: " + QUESTION + "2\nInstalling image as image2:     " +
            progress + "\b\b\b\b100%\b\b\b\b100%\n\nImage2 updated succeeded\nFile processed\n"
            ) in c.transcript
    for part, data in flash.items():   # the boot loader's partition holds the payload only
        data = data[16:] if part == "uboot" else data
        written = switch.flash(part).read_bytes()
        assert written[:len(data)] == data, part
        assert set(written[len(data):]) == {0xFF}, part
    assert switch.slot_path(2).read_bytes() == app
    assert not switch.slot_path(1).exists()
    assert switch.register(REG_SELECTED) == 2

    # A receiver that gives up before it creates its file (as lrzsz does when it refuses the
    # path) leaves nothing to install: not the file of the first transfer. Nor does a transfer
    # cancelled by the sender.
    rx = switch.path / "root" / "usr" / "bin" / "rx"
    wrapper, mark = rx.read_text(), len(c.transcript)
    rx.write_text("#!/bin/sh\nexit 1\n")
    h.xmodem_download(c, switch)
    c.expect(PROMPT)
    assert "Extracting" not in c.transcript[mark:]
    rx.write_text(wrapper)
    h.xmodem_download(c, switch)
    c.expect(PROMPT)
    assert "Installing" not in c.transcript[mark:]

    c.close()  # power off; the next boot, without Rescue Mode, boots slot 2
    switch.setenv()
    c = boot(time_scale=0)
    c.expect_in_order("Booting image '2'", APP)
    assert c.finish()[1] == 0
    assert switch.register(REG_BOOTED) == 2

