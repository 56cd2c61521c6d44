# The switch boots, on its console: fallbacks, launcher rows, the question.
import pytest

import switch_harness as h
from switch_harness import BACKTRACE, INSTALL_SCRIPT as INSTALL, PROMPT, REBOOT, REG_BOOTED
from switch_harness import REG_SELECTED, RESCUE_QUESTION as QUESTION

APP1, APP2, B1, B2 = "SAMPLE APP ONE", "SAMPLE APP TWO", "Booting image '1'", "Booting image '2'"
IP_QUIT = (h.TFTP_QUESTIONS[0], "q\r")
CRC1, MISSING1 = "Image1 CRC failed, trying Image2 now.", "Failed to open Application image 1."
INVALID1 = "Image1 has invalid header... trying Image2."
RESCUE, GDB = ["Entering Rescue Mode.", (PROMPT, "E")], "Extracting GDB from image slot 2"
WARNING = "WARNING: Suspected incompatible application image detected during unpacking"


def app(banner, preload=""):   # with what it sees of env-setup
    return ("%s\napp sees APP_MODE=[production]\napp sees APP_LEVEL=[3]\n"
            "app sees LD_PRELOAD=[%s]\n" % (banner, preload))


# id, selected slot, slot 1, slot 2, settings, console steps in order, slot booted.
# A step (text, key) types the key once the text shows; "^text" follows at once.
CASES = [
    ("selected-2", 2, "app", "app", [], [B2, BACKTRACE, APP2], 2),
    ("normal", 1, "app", "missing", [], [B1, INSTALL, "install.sh sees APP_MODE=[]", BACKTRACE,
     app(APP1)], 1),
    ("slot1-missing", 1, "missing", "app", [], [B1, MISSING1 + " Trying image 2.", BACKTRACE,
     APP2], 2),
    ("slot1-corrupt", 1, "corrupt", "app", [], [B1, CRC1, B2, BACKTRACE, APP2], 2),
    ("slot1-kernel-dt", 1, "kernel-dt", "app", [], [B1, "Image has invalid header 0x54f5249. "
     "(0x64f5249)", INVALID1, B2, BACKTRACE, APP2], 2),   # the last header's code
    ("both-empty", 1, "empty", "empty", [], [B1, INVALID1, B2,
     "No valid application image found. Trying rescue image", *RESCUE, REBOOT], 0),
    ("both-missing", 1, "missing", "missing", [], [B1, MISSING1 + " Trying image 2.",
     "Failed to open Application image 2.", *RESCUE, REBOOT], 0),
    ("gdb-missing", 1, "app", "missing", ["gdb=on", "memchk=on"], [B1, GDB,
     "Failed to open GDB image (from slot 2)", "**** GDB mode selected but GDB not "
     "available. Please install GDB image ***", BACKTRACE, APP1], 1),
    # the management port dialogue (q leaves it) comes before the boot
    ("gdbserver", 1, "app", "missing", ["gdb=off", "gdbserver=on", "gdbport=2345", "memchk=on"],
     [IP_QUIT, B1, INSTALL, "[switch-sim] gdbserver :2345 /tmp/home/bin/mp.elf.strip", REBOOT], 1),
    ("memchk", 1, "app", "missing", ["memchk=on"], [B1, app(APP1, "libduma.so.0.0.0"), REBOOT], 1),
    ("shell", 1, "app", "missing", ["shell=on"], [B1, ("Dropping into shell",
     "echo shell sees APP_MODE=[$APP_MODE]\r"), ("shell sees APP_MODE=[production]",
     "exit\r"), "Dropping out of shell", BACKTRACE, APP1], 1),
    # the key is not echoed: the next output follows the question on its line
    ("question-n", 1, "no-distro-id", "missing", [],
     [B1, WARNING, (QUESTION, "n"), "^" + INSTALL, BACKTRACE, APP1], 1),
    ("question-y", 1, "no-distro-id", "missing", [], [B1, WARNING, (QUESTION, "y"),
     "Entering Rescue Mode.", "\tE) Exit", RESCUE[1], INSTALL, BACKTRACE, APP1], 1),
]


@pytest.mark.parametrize("case, selected, slot1, slot2, settings, steps, booted", CASES,
                         ids=[c[0] for c in CASES])
def test_boot(switch, boot, app_image, slotimg, case, selected, slot1, slot2, settings, steps,
              booted):
    for slot, kind, banner in ((1, slot1, APP1), (2, slot2, APP2)):
        if kind in ("app", "corrupt", "no-distro-id"):
            data = app_image(banner, distro_id=kind != "no-distro-id").read_bytes()
            switch.put_slot(slot, h.corrupted(data) if kind == "corrupt" else data)
        elif kind == "kernel-dt":   # nothing bootable
            switch.put_slot(slot, b"".join(h.random_image(slotimg, switch.work, t, 100)
                                           for t in ("kernel", "devicetree")))
        elif kind == "empty":
            switch.put_slot(slot, b"")
    switch.setenv(*settings)
    switch.select_slot(selected)
    c = boot()
    for text, key in (s if isinstance(s, tuple) else (s, "") for s in steps):
        assert c.expect(text.lstrip("^")) == "" or not text.startswith("^")
        if key:
            c.key(key)
    assert c.finish()[1] == 0
    texts = "".join(s[0] if isinstance(s, tuple) else s for s in steps)
    for t in ("Booting image", "Rescue Mode", BACKTRACE, REBOOT, "Extracting", "SAMPLE", "WARN"):
        assert c.transcript.count(t) == texts.count(t), t   # as often as the steps say
    assert switch.register(REG_BOOTED) == booted
    assert switch.register(REG_SELECTED) == selected
    if case == "selected-2":   # the pause to unpack, the buses closed (their accesses: unit tests)
        assert switch.bus_log()[-3:] == ["wait 1s", "close /dev/i2c-0", "close /dev/i2c-1"]
