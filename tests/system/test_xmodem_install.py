# Rescue Mode command X on the simulated switch: a real XMODEM-1K transfer
# by lrzsz's sender over the console terminal, then the bundle installer,
# as an operator with a terminal program would see it.
import os
import select
import subprocess
import tempfile
import time
import zlib

import switch_harness as h
from switch_harness import REG_BOOTED, REG_SELECTED

# A second of the switch lasts 10 ms: the Enter waits print their reminder
# line every 110 ms, which is when the tests answer them.
TIME_SCALE = 0.01
CHUNK = 65536
ERASE_SIZE = 65536
LINE_LATENCY = 0.005

PROMPT = "Option? : "
BEGIN_WAITING = "... Waiting for the <Enter> key to be hit before the download can start..."
END_WAITING = "... Waiting for the <ENTER> key to be hit..."
QUESTION = "Install image as image 1 or 2 (hit return to just boot image): "
BANNER = "Extracting images ... Do *NOT* power cycle the switch.\n"
BACKTRACE = "[switch-sim] backtrace"
REBOOT = "[switch-sim] reboot"
APP = "DOWNLOADED APP"
CAN = b"\x18"


def jamcrc(data):
    """The image checksum: CRC-32 without its final inversion."""
    return ~zlib.crc32(data) & 0xFFFFFFFF


def percentages(total):
    """What the slot file's progress prints for a sub-image of `total` bytes."""
    shown = ["\b\b\b\b%03d%%" % (min(at, total) * 100 // total)
             for at in range(CHUNK, total + CHUNK, CHUNK)]
    return "".join(shown) + "\b\b\b\b100%\n"


def flash_progress(length):
    """What the flash write prints for `length` bytes at offset 0."""
    blocks = (length + ERASE_SIZE - 1) // ERASE_SIZE
    return "     " + "".join("\b\b\b\b%03d%%" % (i * 100 // blocks) for i in range(blocks)) + \
        "\b\b\b\b100%\n"


def waits(switch):
    """One-second waits of the loader so far; none happen while the receiver
    runs, so new ones mean the loader is back in its own Enter wait."""
    return sum(1 for line in switch.bus_log() if line == "wait 1s")


def write_bundle(path, parts):
    data = b"".join(parts)
    # A transfer pads the last block: the bundles here never fill it exactly.
    assert len(data) % 1024 != 0
    path.write_bytes(data)
    return path


def random_image(slotimg, work, name, image_type, size):
    payload = work / (name + ".bin")
    payload.write_bytes(os.urandom(size))
    return h.make_image(slotimg, payload, work / (name + ".img"), image_type).read_bytes()


def big_app(app_image, banner=APP):
    """An application image of several 64 KiB chunks (its archive carries
    incompressible data)."""
    return app_image(banner, extra={"home/data/blob": os.urandom(150001)}).read_bytes()


def rescue_console(switch, boot):
    switch.setenv("diagnostics=rescue")
    c = boot(time_scale=TIME_SCALE)
    c.expect_in_order("Entering Rescue Mode.", PROMPT)
    return c


def start_download(c):
    """Menu key X, then Enter at the transfer speed. Only the reminder line is
    waited for: it comes after the port's queues are flushed and it repeats.
    The lines before the flush are sent before it on a serial line, but on
    the simulated switch's pty the flush can drop what the test has not read
    yet."""
    c.key("X")
    c.expect(BEGIN_WAITING)
    # The terminal is now "at 115200": Enter sends a carriage return.
    c.key("\r")


def end_download(c):
    # The reminder repeats, so it is there whatever the sender read.
    c.expect(END_WAITING)
    c.key("\n")


def send_with_sz(c, switch, path, timeout=120):
    """Sends the file with `sz --xmodem --1k` over the console terminal while
    the switch's receiver runs, as a terminal program does, and returns sz's
    exit status (None when it had to be stopped) and what it reported.

    sz talks through pipes that this relays to the terminal's master side,
    holding its bytes back a few milliseconds after each answer of the
    receiver, as the latency of a real line would. Without that, sz answers
    an ACK before the receiver has emptied its input queue (it does so right
    after every ACK), and the start of the next block is thrown away: on a
    pty nothing is ever in flight. For the same reason the last ACK can be
    lost when the receiver and then the loader empty the queues at the end;
    sz then waits for it, or takes the loader's next line for a wrong answer.
    Once the loader is back in its own Enter wait, sz is stopped."""
    fd = c.child.child_fd
    before = waits(switch)
    with tempfile.TemporaryFile() as err:
        sz = subprocess.Popen(["sz", "--xmodem", "--1k", str(path)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err)
        to_sz, from_sz = sz.stdin.fileno(), sz.stdout.fileno()
        sources = [fd, from_sz]
        last_answer = 0.0
        loader_back = None
        deadline = time.monotonic() + timeout
        status = None
        while status is None:
            readable, _, _ = select.select(sources, [], [], 0.05)
            if fd in readable:
                data = os.read(fd, 4096)
                last_answer = time.monotonic()
                try:
                    os.write(to_sz, data)
                except BrokenPipeError:
                    pass
            if from_sz in readable:
                data = os.read(from_sz, 4096)
                if not data:
                    sources.remove(from_sz)
                else:
                    pause = last_answer + LINE_LATENCY - time.monotonic()
                    if pause > 0:
                        time.sleep(pause)
                    os.write(fd, data)
            status = sz.poll()
            now = time.monotonic()
            if loader_back is None and waits(switch) >= before + 5:
                loader_back = now
            if status is None and (now > deadline or
                                   (loader_back is not None and now - loader_back > 1.0)):
                sz.kill()
                sz.wait()
                if now > deadline:
                    status = "timeout"
                break
        sz.stdin.close()
        sz.stdout.close()
        err.seek(0)
        return status, err.read().decode(errors="replace")


def download(c, switch, path):
    start_download(c)
    status, report = send_with_sz(c, switch, path)
    # Every block acknowledged; at most the answer to the end of transmission
    # went astray (see send_with_sz). Whether the file arrived whole is for
    # the installer to say.
    assert status in (0, None) or "No ACK on EOT" in report, \
        "sz: %s\n%s" % (status, report[-2000:])
    end_download(c)


def segment(text, start, end):
    """The part of the transcript from `start` up to and including `end`."""
    i = text.index(start)
    return text[i:text.index(end, i) + len(end)]


def test_kernel_then_application_stored_in_slot_two_and_booted_next(
        switch, boot, slotimg, app_image, tmp_path):
    kernel = random_image(slotimg, tmp_path, "kernel", "kernel", 100001)
    app = big_app(app_image)
    bundle = write_bundle(tmp_path / "bundle.img", [kernel, app])

    c = rescue_console(switch, boot)
    download(c, switch, bundle)
    c.expect_in_order(BANNER, "Installing Kernel: ", "Installing Application: ", QUESTION)
    c.line("2")
    c.expect_in_order("Installing image as image2: ", "Image2 updated succeeded",
                      "File processed", PROMPT)
    out = segment(c.transcript, BANNER, "File processed\n")
    assert out == (BANNER + "Installing Kernel: " + flash_progress(len(kernel)) +
                   "Installing Application: " + QUESTION + "2\n" +
                   "Installing image as image2:     " + percentages(len(app)) +
                   "\nImage2 updated succeeded\nFile processed\n")
    assert switch.flash("kernel").read_bytes()[:len(kernel)] == kernel
    assert switch.slot_path(2).read_bytes() == app
    assert not switch.slot_path(1).exists()
    assert switch.register(REG_SELECTED) == 2

    c.key("R")
    c.expect(REBOOT)
    c.finish()

    # The next boot of the same switch, without Rescue Mode, boots slot 2.
    switch.setenv()
    c2 = boot(time_scale=0)
    c2.expect_in_order("Booting image '2'", BACKTRACE, APP)
    assert c2.finish()[1] == 0
    assert switch.register(REG_BOOTED) == 2


def test_console_shows_a_stored_application_in_order(switch, boot, app_image, tmp_path):
    app = big_app(app_image)
    bundle = write_bundle(tmp_path / "bundle.img", [app])
    c = rescue_console(switch, boot)
    download(c, switch, bundle)
    c.expect(QUESTION)
    c.line("1")
    c.expect_in_order("File processed", PROMPT)
    # Banner; label and question on one line with the answer; the slot-file
    # label with its percentage counting to 100%; an empty line; the success
    # line; "File processed".
    assert segment(c.transcript, BANNER, "File processed\n") == (
        BANNER + "Installing Application: " + QUESTION + "1\n" +
        "Installing image as image1:     " + percentages(len(app)) +
        "\nImage1 updated succeeded\nFile processed\n")
    assert switch.slot_path(1).read_bytes() == app
    assert switch.register(REG_SELECTED) == 1


def test_enter_at_the_slot_question_boots_the_download(switch, boot, slotimg, app_image,
                                                       tmp_path):
    app = big_app(app_image)
    kernel = random_image(slotimg, tmp_path, "kernel", "kernel", 5001)
    bundle = write_bundle(tmp_path / "bundle.img", [app, kernel])
    c = rescue_console(switch, boot)
    download(c, switch, bundle)
    c.expect(QUESTION)
    c.line("")
    c.expect_in_order("Booting downloaded image", "Image ready to boot...", BACKTRACE, APP)
    assert c.finish()[1] == 0
    out = c.transcript
    assert "Installing image as image" not in out
    # The boot ends the walk: the kernel after the application stays out.
    assert "Installing Kernel" not in out
    assert set(switch.flash("kernel").read_bytes()) == {0xFF}
    assert not switch.slot_path(1).exists() and not switch.slot_path(2).exists()
    assert switch.register(REG_SELECTED) == 1


def test_bad_checksum_of_the_second_sub_image_leaves_the_first_written(
        switch, boot, slotimg, tmp_path):
    kernel = random_image(slotimg, tmp_path, "kernel", "kernel", 70001)
    dft = h.corrupted(random_image(slotimg, tmp_path, "dft", "devicetree", 20003), 100)
    bundle = write_bundle(tmp_path / "bundle.img", [kernel, dft])
    c = rescue_console(switch, boot)
    download(c, switch, bundle)
    message = "Installing Device Tree: Bad crc for DFT: 0x%08x, voiding download\n" \
        % jamcrc(dft[4:])
    c.expect_in_order("Installing Kernel: ", message, PROMPT)
    out = c.transcript
    assert "File processed" not in out
    assert "Please select one of the following options:" in out[out.index(message):]
    assert switch.flash("kernel").read_bytes()[:len(kernel)] == kernel
    assert set(switch.flash("devicetree").read_bytes()) == {0xFF}


def test_cancelled_transfer_after_a_successful_one_installs_nothing(
        switch, boot, app_image, tmp_path):
    app = big_app(app_image)
    bundle = write_bundle(tmp_path / "bundle.img", [app])
    c = rescue_console(switch, boot)
    download(c, switch, bundle)
    c.expect(QUESTION)
    c.line("1")
    c.expect_in_order("Image1 updated succeeded", "File processed", PROMPT)
    installed = switch.slot_path(1).read_bytes()
    mark = len(c.transcript)

    # The second transfer is cancelled from the sending side before any
    # block; the file of the first is still on the switch from then.
    start_download(c)
    before = waits(switch)
    deadline = time.monotonic() + 60
    while waits(switch) < before + 5:
        assert time.monotonic() < deadline, "the receiver did not give up"
        os.write(c.child.child_fd, CAN * 10)
        time.sleep(0.2)
    end_download(c)
    c.expect(PROMPT)
    later = c.transcript[mark:]
    assert "Installing" not in later and QUESTION not in later
    assert switch.slot_path(1).read_bytes() == installed
    assert not switch.slot_path(2).exists()
    assert switch.register(REG_SELECTED) == 1


def test_receiver_that_gives_up_leaves_no_earlier_download_to_install(
        switch, boot, app_image, tmp_path):
    app = big_app(app_image)
    bundle = write_bundle(tmp_path / "bundle.img", [app])
    c = rescue_console(switch, boot)
    download(c, switch, bundle)
    c.expect(QUESTION)
    c.line("2")
    c.expect_in_order("Image2 updated succeeded", "File processed", PROMPT)
    mark = len(c.transcript)

    # A receiver that gives up before it creates its file, as lrzsz does
    # when it refuses the path it is given.
    rx = switch.path / "root" / "usr" / "bin" / "rx"
    rx.write_text("#!/bin/sh\necho 'rx: gave up' >&2\nexit 1\n")
    start_download(c)
    end_download(c)
    c.expect(PROMPT)
    later = c.transcript[mark:]
    assert "Extracting images" not in later and QUESTION not in later
    assert switch.slot_path(2).read_bytes() == app
    assert not switch.slot_path(1).exists()
