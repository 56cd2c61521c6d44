# switch-sim's own contract: `new`, `setenv`, boot needing root, and a boot leaving nothing
# behind however it ends.
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import tempfile
import time
import zlib
from pathlib import Path

import pytest

import switch_harness as h
from switchsim.util import child_pids

# The largest content of each partition; the environment's: checksum word + 1280 bytes.
LARGEST = {"uboot": 512 << 10, "ubootenv": 1284, "devicetree": 256 << 10,
           "kernel": 3 << 20, "rfs": 15 << 20, "rescue": 10 << 20}


@pytest.mark.parametrize("switch", [65536, 4096, 1 << 20], indirect=True)
def test_new_then_setenv(switch):
    erase = switch.erase_size
    for name, largest in LARGEST.items():
        data = switch.flash(name).read_bytes()
        assert 0 <= len(data) - largest < erase, name
        assert len(data) % erase == 0, name
        assert data == b"\xff" * len(data), name
    assert switch.register_file.read_bytes() == b"\x01" + bytes(255)
    switch.setenv("bootcmd=run a; run b", "empty=", "gdbport=2345")
    env = switch.flash("ubootenv").read_bytes()
    assert env[4:] == b"bootcmd=run a; run b\0empty=\0gdbport=2345\0\0".ljust(erase - 4, b"\0")
    assert int.from_bytes(env[:4], "big") == zlib.crc32(env[4:])


def test_boot_needs_root(switch):
    # As nobody, from a copy: the checkout's folder may be closed to nobody.
    with tempfile.TemporaryDirectory(prefix="switch-sim copy.") as copy:
        shutil.copytree(h.SWITCH_SIM.parent, copy + "/tool")
        h.run(["chmod", "-R", "a+rX", copy])
        r = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                            copy + "/tool/switch-sim", "boot", switch.path],
                           capture_output=True, text=True)
    assert r.returncode == 1
    assert r.stderr.startswith("switch-sim: boot needs root"), r.stderr
    assert r.stderr.count("\n") == 1, r.stderr


def in_shell(c):   # with a process of its own in the background
    c.expect("Dropping into shell")
    c.line("sleep 1000 & echo start''ed")
    c.expect("started")


def at_xmodem_wait(c):   # where the loader waits for Enter without end
    c.expect(h.PROMPT)
    c.key("X")
    c.expect("Waiting for the <Enter> key")


def pid_namespace(process):   # of a /proc/<pid>; None once it ended
    try:
        return (process / "ns" / "pid").stat().st_ino
    except OSError:
        return None


def boot_namespace(switch):
    """The PID namespace of the switch's PID 1 (whose command names the switch) whatever the
    test host's root; held open, so that its number stays its own."""
    marker, own = json.dumps(str(switch.path)).encode(), pid_namespace(Path("/proc/self"))
    for process in Path("/proc").glob("[0-9]*"):
        try:
            if marker in (process / "cmdline").read_bytes() and pid_namespace(process) != own:
                return os.open(process / "ns" / "pid", os.O_RDONLY)
        except OSError:
            pass   # ended meanwhile
    raise AssertionError("no boot of %s" % switch.path)


def processes_in(namespace):
    ns = os.fstat(namespace).st_ino
    return [int(p.name) for p in Path("/proc").glob("[0-9]*") if pid_namespace(p) == ns]


def mount_points():   # of this test's mount namespace (the kernel writes a space as \040)
    lines = Path("/proc/self/mountinfo").read_text().splitlines()
    return [re.sub(r"\\([0-7]{3})", lambda m: chr(int(m[1], 8)), l.split()[4]) for l in lines]


# The console (None: the boot fixture's terminal), where the loader is, how the boot
# ends, switch-sim's status (None: nobody sees it).
ENDINGS = [
    pytest.param(None, in_shell, lambda c: c.line("reboot"), 0, id="reboot"),
    pytest.param(None, in_shell, lambda c: c.child.kill(signal.SIGTERM), 143, id="killed"),
    # The terminal goes with the program that held it.
    pytest.param(lambda argv, env: h.spawn(["script", "-qfec", shlex.join(argv), "/dev/null"], env),
                 at_xmodem_wait, lambda c: c.child.kill(signal.SIGKILL), None,
                 id="terminal-owner-killed"),
    # In a session of its own, the hang-up sends switch-sim no signal.
    pytest.param(lambda argv, env: h.spawn(["setsid", "-w"] + argv, env), at_xmodem_wait,
                 lambda c: c.child.close(force=True), None, id="hangup-unsignalled"),
    # The hang-up's SIGHUP reaches the namespace plumbing before switch-sim.
    pytest.param(None, at_xmodem_wait, lambda c: hang_up_plumbing(c), 129,
                 id="plumbing-hung-up"),
]


def hang_up_plumbing(c):
    """SIGHUP to the process between switch-sim and the switch's PID 1 (unshare)."""
    plumbing = [p for p in child_pids(c.child.pid)
                if Path("/proc/%d/cmdline" % p).read_bytes().startswith(b"unshare\0")]
    assert len(plumbing) == 1, plumbing
    os.kill(plumbing[0], signal.SIGHUP)


@pytest.mark.parametrize("console, where, end, status", ENDINGS)
def test_boot_leaves_nothing_behind(switch, boot, app_image, console, where, end, status):
    switch.setenv("shell=on" if where == in_shell else "diagnostics=rescue")
    switch.put_slot(1, app_image())
    c = boot(args=["--net"]) if console is None else console(*switch.boot_command(args=["--net"]))
    where(c)
    namespace = boot_namespace(switch)
    try:
        cable = h.run(["ip", "netns", "identify", processes_in(namespace)[0]]).stdout.strip()
        servers = h.run(["ip", "netns", "pids", cable.replace("-sw", "-srv")]).stdout.split()
        assert len(processes_in(namespace)) >= 2   # PID 1 and the loader, at least
        assert len(servers) == 2   # the TFTP and the DHCP server
        end(c)
        if status is not None:
            assert c.finish()[1] == status
        deadline = time.monotonic() + 30
        while cable in h.run(["ip", "netns", "list"]).stdout:   # what switch-sim removes last
            assert time.monotonic() < deadline, "the boot did not end"
            time.sleep(0.1)
        assert processes_in(namespace) == []
        assert [m for m in mount_points() if m.startswith(str(switch.path))] == []
        assert [p for p in servers if Path("/proc", p).exists()] == []
    finally:
        for pid in processes_in(namespace):   # a boot that missed its end
            os.kill(pid, signal.SIGKILL)
        os.close(namespace)
        c.close()
