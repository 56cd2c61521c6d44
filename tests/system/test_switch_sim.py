# switch-sim's own contract: the switch `new` makes, the environment `setenv`
# writes, boot needing root, and a boot leaving nothing behind however it ends.
import os
import shlex
import shutil
import signal
import subprocess
import tempfile
import time
import zlib
from pathlib import Path

import pexpect.popen_spawn
import pytest

import switch_harness as h

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
    assert list((switch.path / "root/user/images").iterdir()) == []
    assert list((switch.path / "tftp").iterdir()) == []
    switch.setenv("bootcmd=run a; run b", "empty=", "gdbport=2345")
    env = switch.flash("ubootenv").read_bytes()
    assert env[4:] == b"bootcmd=run a; run b\0empty=\0gdbport=2345\0\0".ljust(erase - 4, b"\0")
    assert int.from_bytes(env[:4], "big") == zlib.crc32(env[4:])


def test_boot_needs_root(switch):
    # As nobody, from a copy anyone may read: the checkout may be in a home
    # folder nobody can enter.
    copy = Path(tempfile.mkdtemp(prefix="switch-sim copy."))
    try:
        shutil.copytree(h.SWITCH_SIM.parent, copy / "switch-sim")
        h.run(["chmod", "-R", "a+rX", copy])
        r = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                            copy / "switch-sim" / h.SWITCH_SIM.name, "boot", switch.path],
                           capture_output=True, text=True)
    finally:
        shutil.rmtree(copy)
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


def at_menu(c):
    c.expect(h.PROMPT)


def kill_terminal_owner(c):
    c.child.kill(signal.SIGKILL)


def switch_sim_pid(c):
    for pid in [c.child.pid] + h.descendants(c.child.pid):
        try:
            argv = Path("/proc/%d/cmdline" % pid).read_bytes().split(b"\0")
        except OSError:
            continue
        if argv[1:3] == [bytes(h.SWITCH_SIM), b"boot"]:
            return pid
    raise AssertionError("no switch-sim boot below %d" % c.child.pid)


def wait_gone(pid, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            if Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()[0] == "Z":
                return
        except (OSError, IndexError):
            return
        time.sleep(0.1)
    raise AssertionError("process %d did not end" % pid)


# How switch-sim's console is given, where the loader is, how the boot ends,
# the status switch-sim ends with (None: nobody is left to see it).
ENDINGS = [
    pytest.param(None, in_shell, lambda c: c.line("reboot"), 0, id="reboot"),
    pytest.param(None, in_shell, lambda c: c.child.kill(signal.SIGTERM), 143, id="killed"),
    # The terminal goes with the program that held it.
    pytest.param(lambda argv: ["script", "-qfec", shlex.join(argv), "/dev/null"], at_xmodem_wait,
                 kill_terminal_owner, None, id="terminal-owner-killed"),
    # In a session of its own, the hang-up sends switch-sim no signal.
    pytest.param(lambda argv: ["setsid", "-w"] + argv, at_xmodem_wait,
                 lambda c: c.child.close(force=True), None, id="hangup-unsignalled"),
    # Without a terminal the loader sees its input end: the menu leaves as on
    # Exit, and the slot boots.
    pytest.param("pipes", at_menu, lambda c: c.child.sendeof(), 0, id="input-ends"),
]


@pytest.mark.filterwarnings("ignore:setDaemon")  # pexpect.popen_spawn
@pytest.mark.parametrize("console, where, end, status", ENDINGS)
def test_boot_leaves_nothing_behind(switch, boot, app_image, console, where, end, status):
    switch.setenv("shell=on" if where == in_shell else "diagnostics=rescue")
    switch.put_slot(1, app_image())
    argv, env = switch.boot_command(args=["--net"])
    if console is None:
        c = boot(args=["--net"])
    elif console == "pipes":
        c = h.Console(pexpect.popen_spawn.PopenSpawn(argv, env=env, encoding="utf-8", timeout=30))
    else:
        c = h.spawn(console(argv), env)
    where(c)
    pid = switch_sim_pid(c)
    namespace = h.BootNamespace(pid)
    try:
        servers = h.run(["ip", "netns", "pids", "swsim-%d-srv" % pid]).stdout.split()
        assert len(namespace.pids()) >= 2   # PID 1 and the loader, at least
        assert len(servers) == 2   # the TFTP and the DHCP server
        end(c)
        if status is not None:
            assert (c.finish()[1] if c.terminal else c.child.proc.wait(timeout=30)) == status
        wait_gone(pid)
        assert namespace.pids() == []
        assert [m for m in h.mount_points() if m.startswith(str(switch.path))] == []
        assert "swsim-%d-" % pid not in h.run(["ip", "netns", "list"]).stdout
        assert [p for p in servers if Path("/proc", p).exists()] == []
    finally:
        namespace.close()
        c.close()
        if Path("/proc", str(pid)).exists():   # a switch-sim that missed its end
            os.kill(pid, signal.SIGTERM)
