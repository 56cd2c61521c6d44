# `slotimg plan --switch DIR` against a real install: each bundle of the table
# is planned on the host, then fetched by TFTP from Rescue Mode and installed
# by the loader on the same simulated switch; the two must agree row by row.
import itertools
import json
import re
import subprocess

import switch_harness as h
from switch_harness import SLOT_QUESTION as QUESTION

LISTING = h.LISTING.split("\n")[0] + "\n"
LABEL = re.compile(r"Installing (?:Boot Loader|Kernel|Root Filesystem|Device Tree|Diagnostics|"
                   r"Application): ")
UNKNOWN_TYPE = "0x7F4F5249"
# Where each type goes: a flash partition, or slot file 1 (the answer given).
PLACE = {"bootloader": "uboot", "devicetree": "devicetree", "kernel": "kernel", "rootfs": "rfs",
         "diagnostics": "rescue", "application": "slot1"}

# Each bundle from make(type, total length): sub-images made by slotimg, back to back.
BUNDLES = {
    "every-flash-type": lambda m: [m("bootloader", 4096), m("devicetree", 4000),
                                   m("kernel", 70000), m("rootfs", 30000),
                                   m("diagnostics", 20000), m("application", 5000)],
    "at-the-limit": lambda m: [m("devicetree", 262144)],
    "one-byte-over": lambda m: [m("kernel", 9000), m("devicetree", 262145),
                                m("application", 3000)],
    "unknown-type": lambda m: [m(UNKNOWN_TYPE, 3000), m("kernel", 9001)],
    "padding": lambda m: [m("application", 3001), b"\x1a" * 1000],
    "bad-crc-second": lambda m: [m("kernel", 9002), h.corrupted(m("devicetree", 5000), 100),
                                 m("application", 3002)],
    "cut-short": lambda m: [m("kernel", 9003), m("application", 6000)[:-100]],
    "only-unknown": lambda m: [m(UNKNOWN_TYPE, 500)],
}


def maker(slotimg, work):   # each of a new version
    versions = itertools.count()
    return lambda image_type, total: h.random_image(slotimg, work, image_type, total - 16,
                                                    "1.0.0.%d" % next(versions))


def plan_of(slotimg, switch, bundle):
    r = subprocess.run([slotimg, "plan", bundle, "--switch", switch.path, "--json"],
                       capture_output=True, text=True)
    plan = json.loads(r.stdout)
    assert r.returncode == (0 if plan["whole"] else 1), r.stdout + r.stderr
    return plan


def tftp_install(c, name):
    """Downloads `name` and answers 1 if the slot question comes; whether it came."""
    h.tftp_download(c, name)
    asked = c.child.expect_exact([QUESTION, LISTING.replace("\n", "\r\n")]) == 0
    if asked:
        c.send("1\r")
        c.expect(LISTING)
    c.expect(h.PROMPT)
    return asked


def console_rows(text):
    """The installer's output per sub-image it looked at: (label, what followed it)."""
    text = text.split(LISTING)[0]
    found = list(LABEL.finditer(text))
    ends = [m.start() for m in found[1:]] + [len(text)]
    return [(m.group(0), text[m.end():end]) for m, end in zip(found, ends)]


def held(switch):
    """What each place holds (None: no slot file)."""
    files = {place: switch.flash(place) for place in PLACE.values() if place != "slot1"}
    files["slot1"] = switch.slot_path(1)
    return {place: f.read_bytes() if f.exists() else None for place, f in files.items()}


def test_plan_and_install_agree_row_by_row(switch, boot, slotimg):
    make = maker(slotimg, switch.work)
    c = h.rescue_menu(switch, boot, args=["--net"])
    for name, parts in BUNDLES.items():
        bundle = switch.path / "tftp" / name
        data = b"".join(parts(make))
        bundle.write_bytes(data)
        bundle.chmod(0o644)
        plan = plan_of(slotimg, switch, bundle)
        before = held(switch)
        mark = len(c.transcript)
        asked = tftp_install(c, name)
        text = c.transcript[mark:]
        # The console says what the plan says: the same sub-images looked at, and
        # for each one refused or skipped, the plan's reason byte for byte.
        rows = console_rows(text)
        looked_at = [r for r in plan["subimages"] if r["decision"] != "not reached" and r["label"]]
        assert [label for label, _ in rows] == [r["label"] for r in looked_at], name + text
        for (label, said), r in zip(rows, looked_at):
            if r["decision"] != "install":
                assert said == r["reason"], (name, r)
        installed = [r for r in looked_at if r["decision"] == "install"]
        assert asked == any(r["target"] == "application slot question" for r in installed), name
        written = {}
        for r in installed:   # the boot loader's partition holds the payload only
            sub = data[r["offset"]:r["offset"] + r["total_length"]]
            written[PLACE[r["type"]]] = sub[16:] if r["type"] == "bootloader" else sub
        for place, now in held(switch).items():
            if place in written:
                assert now[:len(written[place])] == written[place], (name, place)
            else:
                assert now == before[place], (name, place)
        reached_end = plan["stops_at"] is None
        assert ("File processed\n" in text) == reached_end, name
        nothing_valid = reached_end and plan["result"] == 0
        assert ("ERROR: No valid image found\n" in text) == nothing_valid, name
