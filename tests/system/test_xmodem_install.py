# Rescue Mode command X on the simulated switch: real XMODEM-1K transfers by
# lrzsz's sender over the console terminal, then the bundle installer.
import os
import select
import subprocess
import time
import zlib

import switch_harness as h
from switch_harness import REG_BOOTED, REG_SELECTED

PROMPT = "Option? : "
QUESTION = "Install image as image 1 or 2 (hit return to just boot image): "
APP = "DOWNLOADED APP"


def image(slotimg, tmp_path, image_type, size):
    (tmp_path / "payload").write_bytes(os.urandom(size))
    return h.make_image(slotimg, tmp_path / "payload", tmp_path / "sub.img", image_type).read_bytes()


def big_app(app_image):
    """An application of three 64 KiB chunks and more."""
    return app_image(APP, extra={"home/data/blob": os.urandom(150001)}).read_bytes()


def rescue_console(switch, boot):
    switch.setenv("diagnostics=rescue")
    c = boot(time_scale=0.01)  # a second of the switch lasts 10 ms
    c.expect_in_order("Entering Rescue Mode.", PROMPT)
    return c


BEGIN = "       Change the baud rate to 115200 bps and hit the <ENTER> key\n" \
        "       before initiating the download.\n"
BACK = "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n"
SETTLE = 0.5  # the loader drains and flushes the line after each instruction


def download(c, switch, tmp_path, *parts):
    """Key X, Enter (CR), the bundle of `parts` sent by `sz --xmodem --1k` (without parts: cancelled by the
    sender), Enter (LF). sz's bytes wait 5 ms after each answer of the receiver as on a real line (on a pty
    its queue flushes would drop them); its last ACK may be lost: sz stops once the loader waits again.
    A machine's UART sends both instructions whole (the pty may drop them): there the operator answers them."""
    (tmp_path / "bundle.img").write_bytes(b"".join(parts))
    assert not parts or (tmp_path / "bundle.img").stat().st_size % 1024  # the transfer pads the last block
    vm = switch.engine == h.VM
    c.key("X")
    if vm:
        c.expect(BEGIN)
        time.sleep(SETTLE)
    else:
        c.expect("... Waiting for the <Enter> key to be hit before the download can start...")
    c.key("\r")

    def waits():  # the one-second waits of the loader so far; the receiver makes none
        return sum(1 for line in switch.bus_log() if line == "wait 1s")
    fd, before, deadline = c.child.child_fd, waits(), time.monotonic() + 120
    sz = parts and subprocess.Popen(["sz", "--xmodem", "--1k", str(tmp_path / "bundle.img")],
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    last_answer, back, relayed = 0.0, None, b""
    while back is None or (sz and sz.poll() is None and time.monotonic() - back < 1.0):
        assert time.monotonic() < deadline, "the transfer did not end"
        if not sz:
            os.write(fd, b"\x18" * 10)  # CAN
            time.sleep(0.2)
        readable = select.select([fd] + ([sz.stdout] if sz else []), [], [], 0.05)[0]
        if fd in readable:
            data, last_answer = os.read(fd, 4096), time.monotonic()
            relayed += data
            try:
                sz and os.write(sz.stdin.fileno(), data)
            except BrokenPipeError:
                pass
        if sz and sz.stdout in readable:
            data = os.read(sz.stdout.fileno(), 4096)
            time.sleep(max(0.0, last_answer + 0.005 - time.monotonic()))
            os.write(fd, data)
        if back is None and (BACK.encode() in relayed if vm else  # sent in the transfer settings
                             waits() >= before + 5):
            back = time.monotonic()
    if sz:
        sz.kill()
        sz.wait()
    if vm:
        time.sleep(SETTLE)
    else:
        c.expect("... Waiting for the <ENTER> key to be hit...")  # it repeats: whatever sz read, it comes
    c.key("\n")


# Partition, image type, label, payload size: each spans two erase blocks or fits in one.
FLASH = [("uboot", "bootloader", "Boot Loader", 70001), ("kernel", "kernel", "Kernel", 20001),
         ("rfs", "rootfs", "Root Filesystem", 15001), ("devicetree", "devicetree", "Device Tree", 10003),
         ("rescue", "diagnostics", "Diagnostics", 5001)]


def test_every_flash_type_and_an_application_into_slot_two_then_a_cancelled_transfer_then_the_boot(
        switch, boot, slotimg, app_image, tmp_path):
    flash = {part: image(slotimg, tmp_path, kind, size) for part, kind, _, size in FLASH}
    app = big_app(app_image)
    c = rescue_console(switch, boot)
    download(c, switch, tmp_path, *flash.values(), app)
    c.expect(QUESTION)
    c.line("2")
    c.expect_in_order("File processed", PROMPT)
    progress = "".join("\b\b\b\b%03d%%" % (at * 100 // len(app)) for at in range(65536, len(app), 65536))
    assert "Extracting images ... Do *NOT* power cycle the switch.\nInstalling Boot Loader: " in c.transcript
    assert [label for _, _, label, _ in FLASH] == [line.split(": ")[0] for line in c.transcript.split(
        "\nInstalling ")[1:-2]]
    assert ("Installing Application: " + QUESTION + "2\nInstalling image as image2:     " + progress +
            "\b\b\b\b100%\b\b\b\b100%\n\nImage2 updated succeeded\nFile processed\n") in c.transcript
    for part, data in flash.items():   # the boot loader's partition holds the payload only
        data = data[16:] if part == "uboot" else data
        written = switch.flash(part).read_bytes()
        assert written[:len(data)] == data and set(written[len(data):]) == {0xFF}, part
    assert switch.slot_path(2).read_bytes() == app and not switch.slot_path(1).exists()
    assert switch.register(REG_SELECTED) == 2

    # A receiver that gives up before it creates its file (as lrzsz does when it refuses the path) leaves
    # nothing to install: not the file of the first transfer. Nor does a transfer cancelled by the sender.
    rx = switch.path / "root" / "usr" / "bin" / "rx"
    wrapper, mark = rx.read_text(), len(c.transcript)
    rx.write_text("#!/bin/sh\nexit 1\n")
    download(c, switch, tmp_path)
    c.expect(PROMPT)
    assert "Extracting" not in c.transcript[mark:]
    rx.write_text(wrapper)
    download(c, switch, tmp_path)
    c.expect(PROMPT)
    assert "Installing" not in c.transcript[mark:]
    assert switch.slot_path(2).read_bytes() == app and not switch.slot_path(1).exists()

    c.close()  # power off; the next boot, without Rescue Mode, boots slot 2
    switch.setenv()
    c = boot(time_scale=0)
    c.expect_in_order("Booting image '2'", APP)
    assert c.finish()[1] == 0 and switch.register(REG_BOOTED) == 2


def test_bad_checksum_of_the_second_sub_image_then_enter_at_the_slot_question_boots_the_download(
        switch, boot, slotimg, app_image, tmp_path):
    kernel = image(slotimg, tmp_path, "kernel", 70001)
    dft = h.corrupted(image(slotimg, tmp_path, "devicetree", 20003), 100)
    c = rescue_console(switch, boot)
    download(c, switch, tmp_path, kernel, dft)
    crc = ~zlib.crc32(dft[4:]) & 0xFFFFFFFF  # the image checksum: CRC-32 without its final inversion
    c.expect_in_order("Installing Kernel: ", "Installing Device Tree: Bad crc for DFT: 0x%08x, voiding "
                      "download\nPlease select one of the following options:" % crc, PROMPT)
    assert "File processed" not in c.transcript
    assert switch.flash("kernel").read_bytes()[:len(kernel)] == kernel
    assert set(switch.flash("devicetree").read_bytes()) == {0xFF}

    # Enter boots the application at once: the walk ends there, the kernel after it stays out.
    mark = len(c.transcript)
    download(c, switch, tmp_path, big_app(app_image), image(slotimg, tmp_path, "kernel", 5001))
    c.expect(QUESTION)
    c.line("")
    c.expect_in_order("Booting downloaded image", "Image ready to boot...", APP)
    assert c.finish()[1] == 0
    assert "Installing Kernel" not in c.transcript[mark:] and "Installing image as" not in c.transcript[mark:]
    assert switch.flash("kernel").read_bytes()[:len(kernel)] == kernel
    assert not switch.slot_path(1).exists() and not switch.slot_path(2).exists()
