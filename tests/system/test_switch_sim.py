# switch-sim itself: the switch it makes, the environment it writes, the
# programs the switch's root offers, and a boot that leaves nothing behind
# on any way it can end.
import os
import struct
import subprocess
import zlib
from pathlib import Path

import pytest

import switch_harness as h

KIB = 1024
# The largest content of each partition: boot loader payload, environment
# (checksum word and the 1280 bytes scanned), whole sub-images for the rest.
LARGEST = {"uboot": 512 * KIB, "ubootenv": 1284, "devicetree": 256 * KIB,
           "kernel": 3 * KIB * KIB, "rfs": 15 * KIB * KIB, "rescue": 10 * KIB * KIB}


@pytest.mark.parametrize("erase_size", [None, 4096, 131072, 262144 * 4])
def test_new_switch(tmp_path, erase_size):
    sw = h.Switch(tmp_path / "sw", tmp_path / "work").new(erase_size)
    erase = erase_size or 65536
    for name, largest in LARGEST.items():
        data = sw.flash(name).read_bytes()
        assert len(data) >= largest and len(data) % erase == 0, name
        assert len(data) - largest < erase, name          # no bigger than needed
        assert data == b"\xff" * len(data), name
    regs = sw.register_file.read_bytes()
    assert len(regs) == 256 and regs[0] == 1 and regs[1:] == bytes(255)
    assert list((sw.path / "root" / "user" / "images").iterdir()) == []
    assert list((sw.path / "tftp").iterdir()) == []


@pytest.mark.parametrize("argv, message", [
    (["--erase-size", "0"], "must be positive"),
    (["--erase-size", "3000"], "power of two"),
])
def test_new_refuses_bad_erase_sizes(tmp_path, argv, message):
    r = subprocess.run([h.SWITCH_SIM, "new", tmp_path / "sw"] + argv,
                       capture_output=True, text=True)
    assert r.returncode != 0 and message in r.stderr


def test_new_refuses_a_directory_in_use(tmp_path):
    (tmp_path / "sw").mkdir()
    (tmp_path / "sw" / "precious").write_text("keep")
    r = subprocess.run([h.SWITCH_SIM, "new", tmp_path / "sw"], capture_output=True,
                       text=True)
    assert r.returncode != 0 and "not empty" in r.stderr
    assert (tmp_path / "sw" / "precious").read_text() == "keep"


@pytest.mark.parametrize("assignments", [
    [],
    ["gdb=on"],
    ["bootcmd=run a; run b", "shell=on", "empty=", "gdbport=2345"],
])
def test_setenv_writes_a_u_boot_environment(tmp_path, assignments):
    sw = h.Switch(tmp_path / "sw", tmp_path / "work").new()
    size = sw.flash("ubootenv").stat().st_size
    sw.setenv(*assignments)
    data = sw.flash("ubootenv").read_bytes()
    assert len(data) == size
    body = b"".join(a.encode() + b"\0" for a in assignments) + b"\0"
    assert data[4:4 + len(body)] == body
    assert data[4 + len(body):] == bytes(size - 4 - len(body))
    assert struct.unpack(">I", data[:4])[0] == zlib.crc32(data[4:])


@pytest.mark.parametrize("bad", ["novalue", "=value", "x" * 70000 + "=1"])
def test_setenv_refuses_what_it_cannot_write(tmp_path, bad):
    sw = h.Switch(tmp_path / "sw", tmp_path / "work").new()
    sw.setenv("keep=1")
    before = sw.flash("ubootenv").read_bytes()
    r = subprocess.run([h.SWITCH_SIM, "setenv", sw.path, bad], capture_output=True,
                       text=True)
    assert r.returncode != 0 and r.stderr.startswith("switch-sim: ")
    assert sw.flash("ubootenv").read_bytes() == before


# ------------------------------------------------------------ booting

def mounts_under(path):
    out = subprocess.run(["findmnt", "-rn", "-o", "TARGET"], capture_output=True,
                         text=True).stdout
    return [m for m in out.splitlines() if m.startswith(str(path))]


def processes_in(root):
    """Processes whose root directory is the switch's root."""
    found = []
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                if os.readlink("/proc/%s/root" % pid) == str(root):
                    found.append(int(pid))
            except OSError:
                pass
    return found


def test_boot_needs_root(switch):
    r = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                        h.SWITCH_SIM, "boot", switch.path],
                       capture_output=True, text=True)
    assert r.returncode != 0
    assert r.stderr.count("\n") == 1 and "needs root" in r.stderr


def shell_boot(switch, boot, app_image):
    """Boots to the shell the environment asks for, before the launch."""
    switch.setenv("shell=on")
    switch.put_slot(1, app_image("SHELL TEST APP"))
    c = boot()
    c.expect("Dropping into shell")
    return c


def shell(console, command):
    """Runs a command at the switch's shell; returns its output. The end mark
    is written split in the command, so that the shell's echo of the typed
    line does not match it."""
    console.line(command)
    console.line("echo END''MARK")
    return console.expect("ENDMARK")


def test_switch_root_offers_the_programs_and_the_board(switch, boot, app_image):
    c = shell_boot(switch, boot, app_image)
    assert "path=/bin:/usr/bin cwd=/" in shell(c, "echo path=$PATH cwd=$(pwd)")
    missing = shell(c, "for p in sh tar gunzip mkdir cp mv rm chmod find ifconfig "
                       "route tftp udhcpc /usr/bin/find /usr/bin/rx "
                       "/usr/bin/slotboot-sim; do command -v $p >/dev/null || "
                       "echo MISS''ING $p; done")
    assert "MISSING" not in missing
    board = shell(c, "ls /sim /sim/flash")
    for name in ("bus.log", "slot-register.bin", "kernel.bin", "ubootenv.bin"):
        assert name in board
    # the console and the serial line are the terminal the shell runs on
    devices = shell(c, "stat -L -c D%t:%T /dev/console /dev/ttyS0 /proc/self/fd/0")
    numbers = [l for l in devices.replace("\r", "").split("\n") if l.startswith("D")]
    assert len(numbers) == 3 and len(set(numbers)) == 1
    erased = shell(c, "touch /user/x; flash_eraseall /dev/mtd-user-char; ls -A /user")
    assert "[switch-sim] flash_eraseall /dev/mtd-user-char" in erased
    assert not list((switch.path / "root" / "user").iterdir())
    out = shell(c, "/bin/umount /user; /bin/gdbserver :99 /x")
    assert "[switch-sim] umount /user\n[switch-sim] gdbserver :99 /x" in out.replace("\r", "")
    c.line("exit")
    c.expect("Dropping out of shell")
    assert c.finish()[1] == 0


def test_rx_is_the_xmodem_receiver_unrestricted(switch, boot, app_image):
    c = shell_boot(switch, boot, app_image)
    assert "-U" in shell(c, "cat /usr/bin/rx")
    usage = shell(c, "/usr/bin/rx --help 2>&1 | head -3")
    assert "xmodem" in usage.lower()


def test_mounts_exist_only_inside_and_reboot_ends_everything(switch, boot, app_image):
    c = shell_boot(switch, boot, app_image)
    shell(c, "sleep 1000 & sleep 1001 &")
    root = switch.path / "root"
    inside = processes_in(root)
    assert len(inside) >= 3
    seen_inside = subprocess.run(["findmnt", "-rn", "-o", "TARGET", "--task",
                                  str(inside[0])], capture_output=True, text=True).stdout
    # as the switch sees them, relative to its root
    for target in ("/tmp", "/proc", "/dev/console", "/sim/flash", "/sim/bus.log"):
        assert target in seen_inside.splitlines()
    assert mounts_under(switch.path) == []
    c.line("reboot")
    c.expect("[switch-sim] reboot")
    _, status = c.finish()
    assert status == 0
    assert "Dropping out of shell" not in c.transcript
    assert processes_in(root) == [] and mounts_under(switch.path) == []


def test_killing_switch_sim_ends_the_switch(switch, boot, app_image):
    c = shell_boot(switch, boot, app_image)
    c.line("sleep 1000 & echo started")
    c.expect("started")
    c.child.kill(15)
    c.child.expect(h.pexpect.EOF)
    c.child.close()
    assert processes_in(switch.path / "root") == []
    assert mounts_under(switch.path) == []


def test_ctrl_c_goes_to_the_loader(switch, boot, app_image):
    """Ctrl-C at the launch's question is the loader's (it counts as No);
    switch-sim itself lives on and the boot carries on."""
    switch.put_slot(1, app_image("CTRL C APP", distro_id=False))
    c = boot()
    c.expect("y/N: ")
    c.interrupt()
    c.expect_in_order("Running install script", "CTRL C APP")
    assert c.finish()[1] == 0
    assert "Entering Rescue Mode." not in c.transcript


def test_the_applications_status_is_the_exit_status(switch, boot, tmp_path):
    # The application's own status comes back through backtrace.
    tree = h.make_app_tree(tmp_path / "t", banner="X")
    (tree / "home/bin/mp.elf.strip").write_text("#!/bin/sh\necho STATUS APP\nexit 42\n")
    image = h.make_image(h.build_dir() / "slotimg",
                         h.make_archive(tree, tmp_path / "a.tgz"), tmp_path / "a.img")
    switch.put_slot(1, image)
    c = boot()
    c.expect("STATUS APP")
    assert c.finish()[1] == 42


PPC_BUILD = h.ppc_build_dir()


@pytest.mark.skipif(not (PPC_BUILD / "slotboot-sim").is_file(),
                    reason="no PowerPC build of slotboot-sim")
def test_powerpc_build_boots_under_qemu(switch, boot, app_image):
    switch.put_slot(1, app_image("PPC APP"))
    c = boot(args=["--arch", "ppc", "--build", str(PPC_BUILD)])
    c.expect_in_order("Booting image '1'", "[switch-sim] backtrace", "PPC APP",
                      "app sees APP_MODE=[production]")
    assert c.finish()[1] == 0
    assert switch.register(h.REG_BOOTED) == 1
