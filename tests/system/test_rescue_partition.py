# The rescue partition on a simulated switch: recreating /user, booting or
# installing the image held in the rescue partition, and the debugger taken
# from the other slot, all through the console as an operator sees them.
import os

import pytest

import switch_harness as h
from switch_harness import REG_BOOTED, REG_SELECTED

APP1 = "SAMPLE APP ONE"
RECOVERY = "RECOVERY APP"
DIAG_PROGRAM = "DIAGNOSTICS PROGRAM RUNNING"
BACKTRACE = "[switch-sim] backtrace"
BOOTED_RESCUE = 4

CONFIRM = ("Confirm: Erase filesystem? (all saved data, configuration, keys will be "
           "lost) y/N: ")
INSTALL_QUESTION = ("Install recovery image as image 1 or 2 (hit return to just boot "
                    "image): ")
RECOVERY_BOOT = ("Booting recovery image. You will need to download and install an "
                 "image before rebooting")
ERASE_STEPS = [
    "unmount filesystem",
    "[switch-sim] umount /user",
    "\nErasing filesystem for clean install",
    "[switch-sim] flash_eraseall /dev/mtd-user-char",
    "Mounting...",
    "[switch-sim] mount -o sync -t jffs2 /dev/mtd-user /user",
    "creating default filesystem",
]
MENU_LIST = "Please select one of the following options:"
PROMPT = "Option? : "

# Incompressible bytes in the archives, so that images span several of the
# loader's 64 KiB read chunks.
BULK = os.urandom(200000)


def put_rescue_image(switch, image):
    """Writes an image at offset 0 of the rescue partition, leaving the rest
    of the partition as it is (erased)."""
    data = image.read_bytes() if isinstance(image, os.PathLike) else image
    with open(switch.flash("rescue"), "r+b") as f:
        f.write(data)
    return data


@pytest.fixture
def diag_image(switch, slotimg):
    """A diagnostics image whose archive carries mpdiag.elf.strip."""
    base = switch.work / "diag"
    tree = h.make_app_tree(base / "tree", banner="APPLICATION PROGRAM OF THE DIAG IMAGE",
                           extra={"mpdiag.elf.strip": '#!/bin/sh\necho "%s"\n' % DIAG_PROGRAM,
                                  "home/bulk.bin": BULK})
    (tree / "mpdiag.elf.strip").chmod(0o755)
    archive = h.make_archive(tree, base / "diag.tar.gz")
    return h.make_image(slotimg, archive, base / "diag.img", image_type=h.DIAGNOSTICS,
                        layout=2, header_length=40)


@pytest.fixture
def recovery_image(app_image):
    """An application image for the rescue partition, layout 3 with a longer
    header, so that a slot file holding only the payload would show."""
    return app_image(RECOVERY, layout=3, header_length=64, extra={"home/bulk.bin": BULK})


def shell_check_archive(console):
    """In the shell offered after Rescue Mode: the archive's size in bytes."""
    console.line('echo "archive=$(wc -c < /tmp/vantuimage.tar.gz)"')
    console.child.expect(r"archive=(\d+)\r\n")
    return int(console.child.match.group(1))


# -------------------------------------------------- no usable rescue image

def too_long(image_bytes):
    """The image with a len word that runs past the end of the partition."""
    data = bytearray(image_bytes)
    data[4:8] = (0x7FFFFFF0).to_bytes(4, "big")
    return bytes(data)


UNUSABLE = [
    pytest.param(None, "Image not found... \n", id="erased"),
    pytest.param(h.corrupted, "Image CRC failed. Quitting\n", id="bad-crc"),
    pytest.param(too_long, "Image CRC failed. Quitting\n", id="past-partition-end"),
]


@pytest.mark.parametrize("spoil, message", UNUSABLE)
def test_unusable_rescue_image_leaves_an_empty_archive_and_the_boot_goes_on(
        switch, boot, recovery_image, spoil, message):
    if spoil is not None:
        put_rescue_image(switch, spoil(recovery_image.read_bytes()))
    # No slot files: the boot ends in Rescue Mode and, on Exit, in the shell,
    # where the archive left in /tmp can be looked at.
    switch.setenv("diagnostics=diags", "shell=on")
    c = boot()
    c.expect(CONFIRM)
    c.key("n")
    c.expect_in_order("\nBooting diags image...\n", message, "Booting image '1'",
                      "Failed to open Application image 1. Trying image 2.",
                      "Failed to open Application image 2.", "Entering Rescue Mode.", PROMPT)
    c.key("E")
    assert shell_check_archive(c) == 0
    c.line("exit")
    c.finish()
    out = c.transcript
    assert "Launching diagnostics image" not in out and INSTALL_QUESTION not in out
    assert switch.register(REG_BOOTED) == 0
    assert switch.register(REG_SELECTED) == 1


def test_erased_rescue_partition_then_the_selected_slot_boots(switch, boot, app_image):
    switch.put_slot(1, app_image(APP1))
    switch.setenv("diagnostics=diags")
    c = boot()
    c.expect(CONFIRM)
    c.key("N")
    c.expect_in_order("Booting diags image...", "Image not found... \n", "Booting image '1'",
                      BACKTRACE, APP1)
    c.finish()
    assert switch.register(REG_BOOTED) == 1
    assert switch.slot_path(1).exists()


# -------------------------------------------------- menu command D

def test_d_answered_n_keeps_user_then_y_recreates_it(switch, boot, app_image):
    switch.put_slot(1, app_image(APP1))
    switch.put_slot(2, app_image(APP1))
    keepsake = switch.path / "root" / "user" / "config.txt"
    keepsake.write_text("saved configuration\n")
    switch.setenv("diagnostics=rescue")
    c = boot()
    c.expect(PROMPT)

    c.key("d")
    c.expect(CONFIRM)
    c.key("n")
    c.expect_in_order("\nBooting diags image...\n", "Image not found... \n", MENU_LIST,
                      PROMPT)
    first = c.transcript
    assert "unmount filesystem" not in first and "flash_eraseall" not in first
    assert keepsake.exists() and switch.slot_path(1).exists() and switch.slot_path(2).exists()

    c.key("D")
    c.expect(CONFIRM)
    c.key("y")
    c.expect("\n" + ERASE_STEPS[0] + "\n")
    c.expect_in_order(*ERASE_STEPS[1:])
    c.expect_in_order("Booting diags image...", "Image not found... \n", MENU_LIST, PROMPT)
    assert not keepsake.exists()
    assert not switch.slot_path(1).exists() and not switch.slot_path(2).exists()
    assert (switch.path / "root" / "user" / "images").is_dir()

    # Leaving the menu: the slot boot finds neither slot file.
    c.key("E")
    c.expect_in_order("Booting image '1'",
                      "Failed to open Application image 1. Trying image 2.",
                      "Failed to open Application image 2.", "Entering Rescue Mode.", PROMPT)
    c.key("R")
    c.finish()
    assert APP1 not in c.transcript


# -------------------------------------------------- a diagnostics image

def test_diagnostics_image_is_launched_without_a_question(switch, boot, app_image, diag_image):
    switch.put_slot(1, app_image(APP1))
    put_rescue_image(switch, diag_image)
    switch.setenv("diagnostics=diags")
    c = boot()
    c.expect(CONFIRM)
    c.key("n")
    c.expect_in_order("Booting diags image...", "Launching diagnostics image",
                      "install diags image", "Running install script", BACKTRACE, DIAG_PROGRAM)
    _, status = c.finish()
    assert status == 0
    out = c.transcript
    assert INSTALL_QUESTION not in out and APP1 not in out
    assert "Booting image" not in out
    assert switch.register(REG_BOOTED) == BOOTED_RESCUE
    assert switch.register(REG_SELECTED) == 1
    assert "smbus-write 0x54 reg 0x3a 0x04" in switch.i2c_log()
    assert not any("reg 0x00" in line and "smbus-write" in line for line in switch.i2c_log())


# -------------------------------------------------- an application image

@pytest.mark.parametrize("slot", [1, 2])
def test_application_image_installed_in_the_chosen_slot(switch, boot, app_image,
                                                        recovery_image, slot):
    switch.put_slot(1, app_image(APP1))
    image = put_rescue_image(switch, recovery_image)
    switch.setenv("diagnostics=diags")
    c = boot()
    c.expect(CONFIRM)
    c.key("n")
    c.expect_in_order("Booting diags image...", INSTALL_QUESTION)
    c.line(str(slot))
    c.expect_in_order("\nInstalling recovery image as image%d...\n" % slot,
                      "Setting boot image to %d\n" % slot, "Running install script",
                      BACKTRACE, RECOVERY)
    _, status = c.finish()
    assert status == 0
    assert switch.slot_path(slot).read_bytes() == image
    assert switch.register(REG_SELECTED) == slot
    assert switch.register(REG_BOOTED) == slot
    writes = [l for l in switch.i2c_log() if l.startswith("smbus-write 0x54")]
    assert writes == ["smbus-write 0x54 reg 0x00 0x%02x" % slot,
                      "smbus-write 0x54 reg 0x3a 0x%02x" % slot]
    out = c.transcript
    assert "install diags image" not in out and RECOVERY_BOOT not in out
    assert APP1 not in out


@pytest.mark.parametrize("answer", ["", "3", "x2"])
def test_application_image_just_booted(switch, boot, recovery_image, answer):
    put_rescue_image(switch, recovery_image)
    switch.setenv("diagnostics=diags")
    c = boot()
    c.expect(CONFIRM)
    c.key("n")
    c.expect(INSTALL_QUESTION)
    c.line(answer)
    c.expect_in_order("\n" + RECOVERY_BOOT + "\n", BACKTRACE, RECOVERY)
    c.finish()
    assert "Installing recovery image" not in c.transcript
    assert not switch.slot_path(1).exists() and not switch.slot_path(2).exists()
    assert switch.register(REG_BOOTED) == BOOTED_RESCUE
    assert switch.register(REG_SELECTED) == 1


def test_install_copy_that_cannot_be_read_installs_nothing(switch, boot, recovery_image):
    image = put_rescue_image(switch, recovery_image)
    switch.put_slot(2, b"old slot two\n")
    chunks = (len(image) + 65535) // 65536
    # Reads of the rescue partition: the 24-byte probe, the image in chunks,
    # then the copy: its crc word and its first chunk, which fails.
    fault = "flash:rescue:read:%d" % (1 + chunks + 2)
    switch.setenv("diagnostics=diags")
    c = boot(env={"SLOTBOOT_SIM_FAULTS": fault})
    c.expect(CONFIRM)
    c.key("n")
    c.expect(INSTALL_QUESTION)
    c.line("2")
    c.expect_in_order("Installing recovery image as image2...", "Image CRC failed. Quitting\n",
                      "Booting image '1'", PROMPT)
    c.key("R")
    c.finish()
    out = c.transcript
    assert "Setting boot image" not in out and RECOVERY not in out
    assert switch.slot_path(2).read_bytes() == b"old slot two\n"
    assert switch.register(REG_SELECTED) == 1
    assert switch.register(REG_BOOTED) == 0


# -------------------------------------------------- the debugger

GDB_SCRIPT = '#!/bin/sh\necho "FAKE GDB debugging $*"\nexec "$@"\n'


@pytest.fixture
def gdb_slot_image(switch, slotimg):
    """make(layout) -> the bytes of a slot file whose payload is the gzip file
    of a debugger, and the length of that payload."""
    def make(layout=1):
        gz = h.gzip_file(GDB_SCRIPT.encode(), switch.work / ("gdb%d.gz" % layout))
        img = h.make_image(slotimg, gz, switch.work / ("gdb%d.img" % layout), layout=layout)
        return img.read_bytes(), gz.stat().st_size
    return make


@pytest.mark.parametrize("booted", [1, 2])
def test_debugger_taken_from_the_other_slot(switch, boot, app_image, gdb_slot_image, booted):
    other = 3 - booted
    data, gz_length = gdb_slot_image()
    switch.put_slot(booted, app_image(APP1))
    switch.put_slot(other, data)
    switch.select_slot(booted)
    switch.setenv("gdb=on")
    c = boot()
    c.expect_in_order("Booting image '%d'" % booted,
                      "Extracting GDB from image slot %d\n" % other,
                      "Found GDB image %d of length = %d.\n" % (other, gz_length),
                      "decompressing GDB....\n", "Running install script",
                      "*** Launching under GDB ***",
                      "FAKE GDB debugging /tmp/home/bin/mp.elf.strip", APP1)
    c.finish()
    assert BACKTRACE not in c.transcript
    assert switch.register(REG_BOOTED) == booted


def test_debugger_slot_with_an_extended_header_is_refused(switch, boot, app_image,
                                                          gdb_slot_image):
    data, _ = gdb_slot_image(layout=2)
    switch.put_slot(1, app_image(APP1))
    switch.put_slot(2, data)
    switch.setenv("gdb=on")
    c = boot()
    c.expect_in_order("Extracting GDB from image slot 2\n",
                      "Image has invalid header 0x814f5249\n",
                      "**** GDB mode selected but GDB not available. Please install GDB image ***",
                      BACKTRACE, APP1)
    c.finish()
    out = c.transcript
    assert "Found GDB image" not in out and "decompressing GDB" not in out
    assert "*** Launching under GDB ***" not in out
