# Faults the switch must survive, and what holds afterwards: a failing install, a power cut
# while writing, Ctrl-C at a question.
import signal
import time
import zlib

import pytest

import switch_harness as h
from switch_harness import BACKTRACE, ERASE_QUESTION as CONFIRM, INSTALL_SCRIPT, LISTING, PROMPT
from switch_harness import RECOVERY_QUESTION as RECOVERY, RESCUE_QUESTION as DISTRO
from switch_harness import SLOT_QUESTION as QUESTION, TFTP_QUESTIONS as T_QUESTIONS

APP1, NEW, TIME_SCALE = "GOOD APP ONE", "DOWNLOADED APP", 0.01
BLOCK = 65536
STILL = 0.3   # long enough for a loader that did not stop to write on
OK2, I2C = "Image2 updated succeeded\n", "I2C error when writing bus 0 offset %d: %d\n"
BAD_CRC = "Installing Application: Bad crc for APPLICATION: 0x%08x, voiding download\n"


def rescue_console(switch, boot, faults="", args=(), data=None):
    c = h.rescue_menu(switch, boot, time_scale=TIME_SCALE, args=list(args),
                      env={"SLOTBOOT_SIM_FAULTS": faults})
    if data is not None:
        h.xmodem_download(c, switch, data)
    return c


# The application goes to slot 2. A flash sub-image's second erase block fails (the 65th
# 1 KiB write; 000%: the first block is done): each partition's message once.
FLASH = "000%%Flash Write mtd write failed.\n\n%s image update failed\n"
PARTITIONS = [("uboot", "bootloader", "Uboot"), ("kernel", "kernel", "kernel"),
              ("rfs", "rootfs", "RFS"), ("devicetree", "devicetree", "DFT"),
              ("rescue", "diagnostics", "DIAGS")]
INSTALL_FAULTS = [pytest.param("flash:%s:write:65" % part, kind, (), FLASH % name, id=part)
                  for part, kind, name in PARTITIONS] + [
    pytest.param("i2c:nobus", "app", (), OK2 + I2C % (0, 9) + "File processed\n", id="i2c-nobus"),
    pytest.param("", "app", ("--user-size=98304",), "Image2 update failed (err 28)\n", id="full"),
    pytest.param("", "bad-crc", (), BAD_CRC, id="wrong-checksum"),
]


@pytest.mark.parametrize("faults, kind, args, expected", INSTALL_FAULTS)
def test_install_fault(switch, boot, slotimg, app_image, faults, kind, args, expected):
    switch.put_slot(1, app_image(APP1))
    app = h.big_app(app_image, NEW)
    data = {"app": app, "bad-crc": h.corrupted(app)}.get(kind)
    if data is None:  # a flash sub-image of two erase blocks, then the app
        data = h.random_image(slotimg, switch.work, kind, BLOCK + 5001) + app
    if kind == "bad-crc":
        expected %= ~zlib.crc32(data[4:]) & 0xFFFFFFFF  # CRC-32 without the final inversion
    c = rescue_console(switch, boot, faults, args, data)
    if kind == "app":
        c.expect(QUESTION)
        c.send("2\r")
    c.expect_in_order(expected, LISTING, PROMPT)
    # Nothing that failed is stored (a walk gone on would wait at the slot question).
    slot2 = switch.slot_path(2)
    assert (slot2.exists() and slot2.read_bytes() == app) == (OK2 in expected)
    # Slot 1 still boots; a failing record of it is reported.
    assert switch.register(h.REG_SELECTED) == 1
    record = [I2C % (58, 9)] if faults == "i2c:nobus" else []
    c.key("E")
    c.expect_in_order("Booting image '1'", *record, BACKTRACE, APP1)
    assert c.finish()[1] == 0


# The slots before, the one written (and selected) at the power cut, the next boot's lines.
POWER_CUTS = [
    pytest.param({1: APP1, 2: "OLD APP TWO"}, 2, ["Image2 CRC failed, trying Image1 now.",
                 BACKTRACE, APP1], id="other-slot-sound"),
    pytest.param({1: APP1}, 1, ["Image1 CRC failed, trying Image2 now.",
                 "No valid application image found. Trying rescue image", PROMPT], id="none-sound"),
]


def test_power_cut_while_a_flash_partition_is_written(switch, boot, app_image, slotimg):
    # The machine's flash writes at a NOR flash's pace: the cut comes in the first block.
    switch.put_slot(1, app_image(APP1))
    old = switch.flash("kernel").read_bytes()
    kernel = h.random_image(slotimg, switch.work, "kernel", 100001)
    c = rescue_console(switch, boot, data=kernel)
    c.expect_in_order("Installing Kernel: ", "\b\b\b\b000%")
    c.child.kill(signal.SIGTERM)
    c.finish()
    # Begun (the block's tail may have been in the kernel's page cache) and not finished.
    cut = switch.flash("kernel").read_bytes()
    assert cut[:4096] == kernel[:4096]
    assert cut[len(kernel) - 1000:] == old[len(kernel) - 1000:]
    switch.setenv()
    c2 = boot(time_scale=TIME_SCALE)
    c2.expect_in_order("Booting image '1'", BACKTRACE, APP1)
    assert c2.finish()[1] == 0


@pytest.mark.parametrize("slots, written, lines", POWER_CUTS)
def test_power_cut_while_a_slot_file_is_written(switch, boot, app_image, slots, written, lines):
    for slot, banner in slots.items():
        switch.put_slot(slot, app_image(banner))
    switch.select_slot(written)
    app = h.big_app(app_image, NEW)
    c = rescue_console(switch, boot, data=app)
    c.expect(QUESTION)
    # XOFF after the answer: the loader blocks at its first progress display, after the
    # first chunk (a machine's UART takes 4 KiB more, its /user writes at flash pace).
    c.send("%d\r\x13" % written)
    deadline = time.monotonic() + 30
    while switch.slot_path(written).stat().st_size < BLOCK:
        assert time.monotonic() < deadline, "the slot file was not written"
        time.sleep(0.05)
    time.sleep(STILL)
    assert switch.slot_path(written).stat().st_size < len(app)
    c.child.kill(signal.SIGTERM)
    c.finish()
    assert switch.register(h.REG_SELECTED) == written
    switch.setenv()
    c2 = boot(time_scale=TIME_SCALE)
    c2.expect_in_order(*lines)
    assert NEW not in c2.transcript


T_ANSWERS = ["192.0.2.5", "255.255.255.0", "192.0.2.1", "192.0.2.1", "bundle.img"]
MENU_AGAIN = [LISTING, PROMPT]

# Where the question comes (a menu key, boot settings, None: a normal boot), the question,
# what is typed before Ctrl-C, what follows (a pair: a question, its answer), what must not,
# the booted record. One routine asks all four addresses. At boot the erase flag stays set:
# the management port's question gives up after its answer.
CTRL_C = [
    pytest.param("T", T_QUESTIONS[1], T_ANSWERS[1], MENU_AGAIN, (T_QUESTIONS[2],), 0, id="netmask"),
    pytest.param("T", T_QUESTIONS[4], T_ANSWERS[4], MENU_AGAIN, ("Configuring",), 0,
                 id="file-name"),
    pytest.param("M", "MAC address (format nn:nn:nn:nn:nn:nn): ", "00:11:22:33:44:55", MENU_AGAIN,
                 ("ifconfig",), 0, id="mac"),
    pytest.param("X", QUESTION, "2", ["Booting downloaded image", "Image ready to boot...",
                 BACKTRACE, NEW], ("Installing image as", "Installing Kernel"), 0, id="slot"),
    pytest.param("D", CONFIRM, "", ["Booting diags image...", "Launching diagnostics image",
                 BACKTRACE, "RESCUE APP"], ("unmount",), 4, id="erase"),
    pytest.param("diagnostics=diags gdbserver=on", CONFIRM, "", ["Booting diags image...",
                 "Image not found... ", (T_QUESTIONS[0], T_ANSWERS[0]), "Booting image '1'",
                 "[switch-sim] gdbserver :1234"], ("unmount", T_QUESTIONS[1]), 1,
                 id="erase-at-boot-flag-stays-set"),
    pytest.param("D", RECOVERY, "2", [INSTALL_SCRIPT, BACKTRACE, "RESCUE APP"],
                 ("Installing recovery image", "Booting recovery image"), 0, id="recovery"),
    pytest.param(None, DISTRO, "", [BACKTRACE, APP1], ("Entering Rescue Mode",), 1, id="distro-id"),
]


@pytest.mark.parametrize("where, question, typed, after, never, booted", CTRL_C)
def test_ctrl_c_at_a_question(switch, boot, app_image, slotimg, where, question, typed, after,
                              never, booted):
    switch.put_slot(1, app_image(APP1, distro_id=where is not None))
    if where == "D":
        rescue = h.APPLICATION if question == RECOVERY else h.DIAGNOSTICS
        with open(switch.flash("rescue"), "r+b") as f:
            f.write(app_image("RESCUE APP", image_type=rescue).read_bytes())
    if where == "X":   # the download, a kernel after it
        kernel = h.random_image(slotimg, switch.work, "kernel", 5001)
        c = rescue_console(switch, boot, data=h.big_app(app_image, NEW) + kernel)
    elif where in ("T", "M", "D"):
        c = rescue_console(switch, boot)
        c.key(where)
    else:
        switch.setenv(*(where or "").split())
        c = boot(time_scale=TIME_SCALE)
    if where == "T":
        h.tftp_answers(c, T_ANSWERS[:T_QUESTIONS.index(question)])
    if question == RECOVERY:
        c.expect(CONFIRM)
        c.key("n")
    c.expect(question)
    line_mode = question in (QUESTION, RECOVERY)   # else the line editor reads key by key
    (c.send if line_mode else c.key)(typed)
    c.expect(typed)
    c.interrupt(key_by_key=not line_mode)
    if typed and not line_mode:  # the line editor goes on until Enter
        c.line("")
    mark = len(c.transcript)
    for step in after:
        c.expect(step[0] if isinstance(step, tuple) else step)
        if isinstance(step, tuple):
            c.line(step[1])
    assert not [t for t in never if t in c.transcript[mark:]]
    slots = switch.slot_path(1).exists(), switch.slot_path(2).exists()
    assert slots == (True, False)
    assert switch.register(h.REG_SELECTED) == 1
    assert switch.register(h.REG_BOOTED) == booted
