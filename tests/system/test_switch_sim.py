# switch-sim's own contract: the switch `new` makes, the environment `setenv`
# writes, boot needing root, and a boot leaving no mount or process behind.
import subprocess
import zlib

import pytest

import switch_harness as h

# The largest content of each partition; the environment's: checksum word + 1280 bytes.
LARGEST = {"uboot": 512 << 10, "ubootenv": 1284, "devicetree": 256 << 10,
           "kernel": 3 << 20, "rfs": 15 << 20, "rescue": 10 << 20}


@pytest.mark.parametrize("erase", [65536, 4096, 1 << 20])
def test_new_then_setenv(tmp_path, erase):
    sw = h.Switch(tmp_path / "sw", tmp_path / "work").new(erase)
    for name, largest in LARGEST.items():
        data = sw.flash(name).read_bytes()
        assert 0 <= len(data) - largest < erase and len(data) % erase == 0, name
        assert data == b"\xff" * len(data), name
    assert sw.register_file.read_bytes() == b"\x01" + bytes(255)
    assert not any((sw.path / "root/user/images").iterdir()) | any((sw.path / "tftp").iterdir())
    sw.setenv("bootcmd=run a; run b", "empty=", "gdbport=2345")
    env = sw.flash("ubootenv").read_bytes()
    assert env[4:] == b"bootcmd=run a; run b\0empty=\0gdbport=2345\0\0".ljust(erase - 4, b"\0")
    assert int.from_bytes(env[:4], "big") == zlib.crc32(env[4:])


def test_boot_needs_root(switch):
    r = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                        h.SWITCH_SIM, "boot", switch.path], capture_output=True, text=True)
    assert r.returncode != 0 and r.stderr.count("\n") == 1 and "needs root" in r.stderr


def chrooted_in(sw):   # the processes whose root directory is the switch's root
    return subprocess.run(["find", "/proc", "-maxdepth", "2", "-name", "root", "-lname",
                           str(sw.path / "root")], capture_output=True, text=True).stdout.split()


@pytest.mark.parametrize("end", [lambda c: c.line("reboot"), lambda c: c.child.kill(15)],
                         ids=["reboot", "kill"])
def test_boot_leaves_no_mount_or_process_behind(switch, boot, app_image, end):
    switch.setenv("shell=on")
    switch.put_slot(1, app_image())
    c = boot()
    c.expect("Dropping into shell")
    c.line("sleep 1000 & echo start''ed")
    c.expect("started")
    assert len(chrooted_in(switch)) >= 2   # the shell and the sleep, at least
    end(c)
    c.finish()
    mounts = h.run(["findmnt", "-rn", "-o", "TARGET"]).stdout
    assert chrooted_in(switch) == [] and str(switch.path) not in mounts
