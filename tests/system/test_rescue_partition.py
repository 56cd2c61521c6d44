# The rescue partition: recreating /user, booting or installing the image held there; the
# debugger taken from the other slot.
import gzip
import os

import pytest

import switch_harness as h
from switch_harness import BACKTRACE, ERASE_QUESTION as CONFIRM, INSTALL_SCRIPT, PROMPT, REBOOT
from switch_harness import RECOVERY_QUESTION as INSTALL_QUESTION

APP1 = "SAMPLE APP ONE"
RESCUE_APP = "APPLICATION IN THE RESCUE PARTITION"
RESCUE_PROGRAM = "DIAGNOSTICS PROGRAM RUNNING"
# Incompressible, so that images span several of the loader's 64 KiB chunks.
BULK = os.urandom(200000)


def test_d_answered_n_keeps_user_then_y_recreates_it(switch, boot, app_image):
    switch.put_slot(1, app_image(APP1))
    switch.setenv("diagnostics=rescue", "shell=on")
    c = boot()
    c.expect(h.MENU)
    for key in "dn":
        c.key(key)
    c.expect_in_order(CONFIRM + "\nBooting diags image...\nImage not found... \n", PROMPT)
    assert switch.slot_path(1).exists()
    for key in "Dy":
        c.key(key)
    c.expect_in_order(CONFIRM + "\nunmount filesystem\n", "[switch-sim] umount /user",
                      "\nErasing filesystem for clean install",
                      "[switch-sim] flash_eraseall /dev/mtd-user-char", "Mounting...",
                      "[switch-sim] mount -o sync -t jffs2 /dev/mtd-user /user",
                      "creating default filesystem", "Booting diags image...",
                      "Image not found... \n", PROMPT)
    assert not switch.slot_path(1).exists()
    assert (switch.path / "root/user/images").is_dir()
    # No slot file: Exit leads to Rescue Mode, Exit there to the shell, then the reboot.
    c.key("E")
    c.expect_in_order("Failed to open Application image 2.", PROMPT)
    c.key("E")
    c.key('echo "shell $((6 * 7))"\r')
    c.expect("shell 42\n")
    c.line("exit")
    c.expect(REBOOT)


# The image in the rescue partition, the answer to the install question (None: not asked)
# -> what follows, the program run, whether slot file 2 was written, the slot records
# (selected, booted), switch-sim options. A /user too small: the boot goes on with slot 1.
RESCUE_IMAGES = [
    pytest.param(h.APPLICATION, "2", ("\nInstalling recovery image as image2...\n",
                                      "Failed to copy the recovery image to image2\n",
                                      "Booting image '1'"), APP1, False, (1, 1),
                 ["--user-size=98304"], id="application-answered-2-user-full"),
    pytest.param(h.DIAGNOSTICS, None, ("Launching diagnostics image", "install diags image"),
                 RESCUE_PROGRAM, False, (1, 4), [], id="diagnostics"),
    pytest.param(h.APPLICATION, "2", ("\nInstalling recovery image as image2...\n",
                                      "Setting boot image to 2\n"), RESCUE_APP, True, (2, 2), [],
                 id="application-answered-2"),
    pytest.param(h.APPLICATION, "", ("\nBooting recovery image. You will need to download and "
                                     "install an image before rebooting\n",),
                 RESCUE_APP, False, (1, 4), [], id="application-answered-enter"),
]


@pytest.mark.parametrize("image_type, answer, shown, program, installed, records, args",
                         RESCUE_IMAGES)
def test_image_in_the_rescue_partition(switch, boot, app_image, image_type, answer,
                                       shown, program, installed, records, args):
    switch.put_slot(1, app_image(APP1))
    # mpdiag: a diagnostics image's program; the longer header: a slot file holds the payload.
    extra = {"home/bulk.bin": BULK, "mpdiag.elf.strip": '#!/bin/sh\necho "%s"\n' % RESCUE_PROGRAM}
    image = app_image(RESCUE_APP, extra=extra, image_type=image_type, layout=3,
                      header_length=64).read_bytes()
    with open(switch.flash("rescue"), "r+b") as f:
        f.write(image)
    switch.setenv("diagnostics=diags")
    c = boot(args=args)
    c.expect(CONFIRM)
    c.key("n")
    c.expect("\nBooting diags image...\n")
    if answer is not None:
        c.expect(INSTALL_QUESTION)
        c.send(answer + "\r")
    c.expect_in_order(*shown, INSTALL_SCRIPT, BACKTRACE, program)
    assert c.finish()[1] == 0
    out = c.transcript
    assert ("Booting image" in out) == (program == APP1)
    assert (INSTALL_QUESTION in out) == (answer is not None)
    assert (switch.slot_path(2).exists() and switch.slot_path(2).read_bytes() == image) == installed
    assert (switch.register(h.REG_SELECTED), switch.register(h.REG_BOOTED)) == records


# Booted slot, layout of the debugger image in the other slot -> what follows
# "Extracting GDB from image slot N" ({gz}: the gzip payload's length).
UNDER_GDB = ("Found GDB image {other} of length = {gz}.\n", "decompressing GDB....\n",
             INSTALL_SCRIPT, "*** Launching under GDB ***",
             "FAKE GDB debugging /tmp/home/bin/mp.elf.strip")
GDB_CASES = [
    (2, 1, UNDER_GDB),
    (1, 2, ("Image has invalid header 0x814f5249\n", INSTALL_SCRIPT,
            "**** GDB mode selected but GDB not available. Please install GDB image ***",
            BACKTRACE)),
]


@pytest.mark.parametrize("booted, layout, shown", GDB_CASES)
def test_debugger_taken_from_the_other_slot(switch, boot, app_image, slotimg, booted, layout,
                                            shown):
    gz = switch.work / "gdb.gz"
    gz.write_bytes(gzip.compress(b'#!/bin/sh\necho "FAKE GDB debugging $*"\nexec "$@"\n'))
    switch.put_slot(3 - booted, h.make_image(slotimg, gz, switch.work / "gdb.img", layout=layout))
    switch.put_slot(booted, app_image(APP1))
    switch.select_slot(booted)
    switch.setenv("gdb=on")
    c = boot()
    c.expect_in_order("Booting image '%d'" % booted,
                      "Extracting GDB from image slot %d\n" % (3 - booted),
                      *[t.format(other=3 - booted, gz=gz.stat().st_size) for t in shown], APP1)
    c.finish()
    assert (REBOOT in c.transcript) == (layout == 1)   # after the debugging session
    assert (BACKTRACE in c.transcript) == (layout == 2)
