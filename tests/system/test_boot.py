# The switch boots: a normal boot, the fallback to the other slot, both slots
# bad, every launcher row, the incompatible-archive question, and the exact
# I2C traffic of a boot, on a simulated switch through its console.
import pytest

import switch_harness as h
from switch_harness import REG_BOOTED, REG_SELECTED

APP1 = "SAMPLE APP ONE"
APP2 = "SAMPLE APP TWO"
MOUNT = "[switch-sim] mount -o sync -t jffs2 /dev/mtd-user /user"
BACKTRACE = "[switch-sim] backtrace"
REBOOT = "[switch-sim] reboot"
APP_VARS = "app sees APP_MODE=[production]\napp sees APP_LEVEL=[3]"


def expect_app(console, banner, preload=""):
    console.expect_in_order(banner, APP_VARS,
                            "app sees LD_PRELOAD=[%s]" % preload)


def test_normal_boot_reaches_the_application_with_its_settings(switch, boot, app_image):
    switch.put_slot(1, app_image(APP1))
    c = boot()
    c.expect_in_order(MOUNT, "Booting image '1'", "Running install script",
                      # env-setup is read after the install script, for what follows
                      "install.sh ran APP_MODE=[] APP_LEVEL=[]",
                      BACKTRACE)
    expect_app(c, APP1)
    _, status = c.finish()
    assert status == 0
    out = c.transcript
    assert "Booting image '2'" not in out
    assert "WARNING" not in out and "Dropping into shell" not in out
    assert switch.register(REG_BOOTED) == 1
    assert switch.register(REG_SELECTED) == 1


def test_selected_slot_two_boots_slot_two(switch, boot, app_image):
    switch.put_slot(1, app_image(APP1))
    switch.put_slot(2, app_image(APP2))
    switch.select_slot(2)
    c = boot()
    c.expect("Booting image '2'")
    expect_app(c, APP2)
    _, status = c.finish()
    assert status == 0
    assert APP1 not in c.transcript
    assert switch.register(REG_BOOTED) == 2


# Selected slot 1 unusable, slot 2 sound: the console shows these lines in
# order, and slot 2 is the one booted and recorded.
FALLBACK = [
    pytest.param("missing", [
        "Booting image '1'",
        "Failed to open Application image 1. Trying image 2.",
    ], False, id="slot1-missing"),
    pytest.param("corrupt", [
        "Booting image '1'",
        "Image1 CRC failed, trying Image2 now.",
        "Booting image '2'",
    ], True, id="slot1-corrupt"),
    pytest.param("empty", [
        "Booting image '1'",
        "Image has invalid header 0x0. (0x64f5249)",
        "Image1 has invalid header... trying Image2.",
        "Booting image '2'",
    ], True, id="slot1-empty"),
    # the value shown is the type code of the last header examined
    pytest.param("kernel-only", [
        "Booting image '1'",
        "Image has invalid header 0x34f5249. (0x64f5249)",
        "Image1 has invalid header... trying Image2.",
        "Booting image '2'",
    ], True, id="slot1-kernel-only"),
]


@pytest.mark.parametrize("slot1, lines, second_attempt", FALLBACK)
def test_unusable_slot_one_falls_back_to_slot_two(switch, boot, app_image, slotimg,
                                                   tmp_path, slot1, lines,
                                                   second_attempt):
    good = app_image(APP1).read_bytes()
    if slot1 == "corrupt":
        switch.put_slot(1, h.corrupted(good))
    elif slot1 == "empty":
        switch.put_slot(1, b"")
    elif slot1 == "kernel-only":
        payload = tmp_path / "kernel.bin"
        payload.write_bytes(bytes(range(256)) * 64)
        switch.put_slot(1, h.make_image(slotimg, payload, tmp_path / "k.img", "kernel"))
    switch.put_slot(2, app_image(APP2))
    c = boot()
    c.expect_in_order(*lines)
    c.expect(BACKTRACE)
    expect_app(c, APP2)
    _, status = c.finish()
    assert status == 0
    out = c.transcript
    assert APP1 not in out
    assert ("Booting image '2'" in out) == second_attempt
    assert "Entering Rescue Mode." not in out
    assert switch.register(REG_BOOTED) == 2
    assert switch.register(REG_SELECTED) == 1


def test_slot_file_with_a_kernel_before_the_application_boots(switch, boot, app_image,
                                                              slotimg, tmp_path):
    kernel_payload = tmp_path / "kernel.bin"
    kernel_payload.write_bytes(b"not a kernel\n" * 100)
    kernel = h.make_image(slotimg, kernel_payload, tmp_path / "kernel.img", "kernel")
    bundle = h.make_bundle(slotimg, [kernel, app_image(APP1, layout=3, header_length=40)],
                           tmp_path / "slot.img")
    switch.put_slot(1, bundle)
    c = boot()
    expect_app(c, APP1)
    assert c.finish()[1] == 0
    assert switch.register(REG_BOOTED) == 1


# Both slots unusable. Each case: the slot files, the console lines in order,
# whether Rescue Mode is entered (answered with E: Exit), then the reboot.
BOTH_BAD = [
    pytest.param("corrupt", "corrupt", [
        "Booting image '1'",
        "Image1 CRC failed, trying Image2 now.",
        "Booting image '2'",
        "Both image1 and image2 failed.",
    ], False, id="both-corrupt"),
    pytest.param("corrupt", "missing", [
        "Booting image '1'",
        "Image1 CRC failed, trying Image2 now.",
        "Booting image '2'",
        # the second attempt falls back to the same slot file once more
        "Failed to open Application image 2. Trying image 1.",
        "Both image1 and image2 failed.",
    ], False, id="corrupt-and-missing"),
    pytest.param("empty", "empty", [
        "Booting image '1'",
        "Image1 has invalid header... trying Image2.",
        "Booting image '2'",
        "No valid application image found. Trying rescue image",
    ], True, id="both-empty"),
    pytest.param("missing", "missing", [
        "Booting image '1'",
        "Failed to open Application image 1. Trying image 2.",
        "Failed to open Application image 2.",
    ], True, id="both-missing"),
]


@pytest.mark.parametrize("slot1, slot2, lines, rescue", BOTH_BAD)
def test_both_slots_bad_end_in_a_reboot(switch, boot, app_image, slot1, slot2,
                                        lines, rescue):
    good = app_image(APP1).read_bytes()
    for slot, kind in ((1, slot1), (2, slot2)):
        if kind == "corrupt":
            switch.put_slot(slot, h.corrupted(good))
        elif kind == "empty":
            switch.put_slot(slot, b"")
    c = boot()
    c.expect_in_order(*lines)
    if rescue:
        c.expect_in_order("Entering Rescue Mode.", "Option? : ")
        c.key("E")
    c.expect(REBOOT)
    _, status = c.finish()
    assert status == 0
    out = c.transcript
    assert ("Entering Rescue Mode." in out) == rescue
    assert BACKTRACE not in out and APP1 not in out
    assert out.count("Booting image '2'") == (0 if slot1 == "missing" else 1)
    assert switch.register(REG_BOOTED) == 0   # nothing was booted


def test_shell_setting_runs_a_shell_after_both_slots_failed(switch, boot, app_image):
    switch.setenv("shell=on")
    switch.put_slot(1, h.corrupted(app_image(APP1).read_bytes()))
    switch.put_slot(2, b"\0" * 64 + b"truncated")
    c = boot()
    c.expect_in_order("Image1 CRC failed, trying Image2 now.",
                      "No valid application image found. Trying rescue image",
                      "Option? : ")
    c.key("e")
    c.line("echo shell after failure")
    c.expect("shell after failure")
    c.line("exit")
    c.expect(REBOOT)
    assert c.finish()[1] == 0


# ------------------------------------------------------------ launcher rows

DEBUGGER = '#!/bin/sh\necho "GDB DEBUGGER $*"\nexec "$@"\n'
GDBSERVER_LINE = "[switch-sim] gdbserver :%d /tmp/home/bin/mp.elf.strip"


def put_debugger(switch, slotimg, tmp_path, slot):
    """Stores in `slot` an image whose payload is the gzip-compressed debugger,
    as the debugger extraction expects it in the other slot."""
    gz = h.gzip_file(DEBUGGER.encode(), tmp_path / "gdb.gz")
    image = h.make_image(slotimg, gz, tmp_path / "gdb.img", layout=1)
    switch.put_slot(slot, image)


def test_gdb_with_the_debugger_in_the_other_slot(switch, boot, app_image, slotimg,
                                                 tmp_path):
    switch.setenv("gdb=on")
    switch.put_slot(1, app_image(APP1))
    put_debugger(switch, slotimg, tmp_path, 2)
    c = boot()
    c.expect_in_order("Booting image '1'", "Extracting GDB from image slot 2",
                      "decompressing GDB....", "Running install script",
                      "*** Launching under GDB ***",
                      "GDB DEBUGGER /tmp/home/bin/mp.elf.strip")
    expect_app(c, APP1)
    c.expect(REBOOT)
    assert c.finish()[1] == 0
    assert BACKTRACE not in c.transcript
    assert switch.register(REG_BOOTED) == 1


@pytest.mark.parametrize("env, preload", [
    pytest.param(["gdb=on"], "", id="gdb"),
    # the memory checker is not used when the debugger was wanted
    pytest.param(["gdb=on", "memchk=on"], "", id="gdb-memchk"),
])
def test_gdb_without_a_debugger_falls_back_to_backtrace(switch, boot, app_image, env,
                                                        preload):
    switch.setenv(*env)
    switch.put_slot(1, app_image(APP1))
    c = boot()
    c.expect_in_order("Extracting GDB from image slot 2",
                      "Failed to open GDB image (from slot 2)",
                      "**** GDB mode selected but GDB not available. "
                      "Please install GDB image ***",
                      BACKTRACE)
    expect_app(c, APP1, preload)
    _, status = c.finish()
    assert status == 0
    assert REBOOT not in c.transcript


@pytest.mark.parametrize("env, port", [
    pytest.param(["gdbserver=on"], 1234, id="default-port"),
    # gdbserver implies gdb, and no debugger is extracted for it
    pytest.param(["gdb=off", "gdbserver=on", "gdbport=2345"], 2345, id="port-2345"),
    pytest.param(["gdbserver=on", "memchk=on"], 1234, id="with-memchk"),
])
def test_gdbserver_runs_the_remote_debug_server(switch, boot, app_image, env, port):
    switch.setenv(*env)
    switch.put_slot(1, app_image(APP1))
    c = boot()
    # The management port dialogue comes before the slot is booted; q quits it
    # and the boot goes on.
    c.expect("IP addr    :")
    assert "Booting image" not in c.transcript
    c.line("q")
    c.expect_in_order("Booting image '1'", "Running install script",
                      GDBSERVER_LINE % port, REBOOT)
    assert c.finish()[1] == 0
    out = c.transcript
    assert "Extracting GDB" not in out and BACKTRACE not in out and APP1 not in out


def test_memchk_preloads_the_memory_checker(switch, boot, app_image):
    switch.setenv("memchk=on")
    switch.put_slot(1, app_image(APP1))
    c = boot()
    c.expect("Running install script")
    expect_app(c, APP1, "libduma.so.0.0.0")
    c.expect(REBOOT)
    assert c.finish()[1] == 0
    assert BACKTRACE not in c.transcript


def test_shell_is_offered_before_the_launch_with_the_settings(switch, boot, app_image):
    switch.setenv("shell=on")
    switch.put_slot(1, app_image(APP1))
    c = boot()
    c.expect("Dropping into shell")
    c.line("echo shell sees APP_MODE=[$APP_MODE]")
    c.expect("shell sees APP_MODE=[production]")
    c.line("exit")
    c.expect_in_order("Dropping out of shell", BACKTRACE)
    expect_app(c, APP1)
    assert c.finish()[1] == 0


# ------------------------------------------------------------ incompatible archive

QUESTION = "Would you like to enter recovery mode to download a new image? y/N: "


def test_incompatible_archive_answered_no_goes_on(switch, boot, app_image):
    switch.put_slot(1, app_image(APP1, distro_id=False))
    c = boot()
    c.expect_in_order("WARNING: Suspected incompatible application image detected "
                      "during unpacking", QUESTION)
    c.key("n")
    c.expect(BACKTRACE)
    expect_app(c, APP1)
    assert c.finish()[1] == 0
    out = c.transcript
    # the key is not echoed: the next output follows the question on its line
    assert QUESTION + "Running install script\n" in out
    assert "Entering Rescue Mode." not in out


def test_incompatible_archive_answered_yes_enters_rescue_mode(switch, boot, app_image):
    switch.put_slot(1, app_image(APP1, distro_id=False))
    c = boot()
    c.expect(QUESTION)
    c.key("y")
    c.expect_in_order("Entering Rescue Mode.",
                      "Please select one of the following options:",
                      "\tE) Exit", "Option? : ")
    assert "Running install script" not in c.transcript
    c.key("E")
    c.expect_in_order("Running install script", BACKTRACE)
    expect_app(c, APP1)
    assert c.finish()[1] == 0


# ------------------------------------------------------------ I2C traffic

def register_read(value):
    return ["target 0x71", "write 0x71 0x40",
            "target 0x4f", "smbus-write 0x4f reg 0x87 0x55", "wait 100000us",
            "target 0x54", "smbus-read 0x54 reg 0x00 -> 0x%02x" % value,
            "target 0x71", "write 0x71 0x00"]


def register_write(reg, value):
    return ["target 0x71", "write 0x71 0x40",
            "target 0x4f", "smbus-write 0x4f reg 0x87 0x55", "wait 100000us",
            "target 0x54", "smbus-write 0x54 reg 0x%02x 0x%02x" % (reg, value),
            "wait 100000us",
            "target 0x71", "write 0x71 0x00"]


@pytest.mark.parametrize("selected, slot1_good, booted", [
    pytest.param(1, True, 1, id="slot1"),
    pytest.param(2, True, 2, id="slot2"),
    pytest.param(1, False, 2, id="fallback"),
])
def test_exact_i2c_traffic_of_a_boot(switch, boot, app_image, selected, slot1_good,
                                     booted):
    good = app_image(APP1).read_bytes()
    switch.put_slot(1, good if slot1_good else h.corrupted(good))
    switch.put_slot(2, good)
    switch.select_slot(selected)
    c = boot()
    expect_app(c, APP1)
    assert c.finish()[1] == 0
    assert switch.i2c_log() == (
        ["open /dev/i2c-0", "open /dev/i2c-1"]
        + register_read(selected)
        + register_write(0x3A, booted)
        + ["wait 1s",                      # the launch's pause before unpacking
           "close /dev/i2c-0", "close /dev/i2c-1"])
    assert switch.register(REG_BOOTED) == booted


# The boot goes on when the boot-slot register cannot be reached.
@pytest.mark.parametrize("faults, lines", [
    pytest.param("i2c:nobus", ["ERROR: driver /dev/i2c-0 couldn't be opened",
                               "Booting image '1'",
                               "I2C error when writing bus 0 offset 58: "],
                 id="no-bus"),
    pytest.param("i2c:write:0x3a", ["Booting image '2'",
                                    "I2C error when writing bus 0 offset 58: 5"],
                 id="record-fails"),
])
def test_boot_goes_on_when_the_register_fails(switch, boot, app_image, faults, lines):
    switch.put_slot(1, app_image(APP1))
    switch.put_slot(2, app_image(APP2))
    switch.select_slot(2)      # unreadable without a bus: slot 1 is the default
    c = boot(env={"SLOTBOOT_SIM_FAULTS": faults})
    c.expect_in_order(*lines)
    c.expect(BACKTRACE)
    expect_app(c, APP1 if faults == "i2c:nobus" else APP2)
    assert c.finish()[1] == 0
    assert switch.register(REG_BOOTED) == 0
