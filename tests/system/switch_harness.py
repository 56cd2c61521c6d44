# Helpers of the system tests: simulated switches made with switch-sim, archives
# made with tar, images made with slotimg, and a console driven through a pty.
import gzip
import os
import subprocess
import sys
import time
from pathlib import Path

import pexpect

REPO = Path(__file__).resolve().parents[2]
SWITCH_SIM = REPO / "tools" / "switch-sim" / "switch-sim"
REG_SELECTED, REG_BOOTED = 0, 0x3A
APPLICATION, DIAGNOSTICS = "application", "diagnostics"
# Engines: "ns" boots slotboot-sim on the simulated board in namespaces, "vm"
# boots slotboot (the Linux build) on a real kernel's drivers in qemu.
NS, VM = "ns", "vm"
TYPING_PAUSE = 0.1
FLASH_SETTLE = 0.3


def build_dir():
    return Path(os.environ.get("SLOTBOOT_BUILD_DIR") or REPO / "build" / "host")


def ppc_build_dir():
    return Path(os.environ.get("SLOTBOOT_PPC_BUILD_DIR") or REPO / "build" / "ppc")


def loader_args():   # SLOTBOOT_SYSTEM_ARCH=ppc: every boot runs the PowerPC loader in qemu
    ppc = os.environ.get("SLOTBOOT_SYSTEM_ARCH") == "ppc"
    return ["--arch", "ppc", "--build", str(ppc_build_dir())] if ppc else []


def run(cmd, **kw):
    r = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, **kw)
    assert r.returncode == 0, "%s: %d\n%s%s" % (cmd, r.returncode, r.stdout, r.stderr)
    return r


def make_app_tree(root, banner="SAMPLE APP 1.0", distro_id=True, extra=None):
    """An application archive's tree; extra: more files, {path below root: content}."""
    sees = "".join('echo "app sees %s=[$%s]"\n' % (n, n)
                   for n in ("APP_MODE", "APP_LEVEL", "LD_PRELOAD"))
    files = {"mp.elf.strip": '#!/bin/sh\necho "%s"\n%secho "app args=[$*]"\n' % (banner, sees),
             "install.sh": "#!/bin/sh\n" + sees.replace("app sees", "install.sh sees"),
             "env-setup": "APP_MODE production\nAPP_LEVEL 3\n",
             "distro-id": "sample-distro 1.0\n" if distro_id else None}
    files = {"home/bin/" + n: t for n, t in files.items() if t} | (extra or {})
    for rel, content in files.items():
        p = Path(root) / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(content if isinstance(content, bytes) else content.encode())
        p.chmod(0o755 if rel.endswith((".strip", ".sh")) else 0o644)
    return Path(root)


def make_archive(tree, out):   # paths relative to the tree, as unpacked in /tmp
    run(["tar", "czf", out, "-C", tree, "."])
    return Path(out)


def make_image(slotimg, payload, out, image_type=APPLICATION, version="1.0.0.1",
               layout=None, header_length=None):
    options = {"--layout": layout, "--header-length": header_length}
    run([slotimg, "create", "--type", image_type, "--version", version, payload, "-o", out]
        + [x for o, v in options.items() if v is not None for x in (o, v)])
    return Path(out)


def make_bundle(slotimg, images, out):
    run([slotimg, "bundle", "-o", out] + list(images))
    return Path(out)


def corrupted(data, offset_from_end=1):
    i = len(data) - offset_from_end
    return data[:i] + bytes([data[i] ^ 0xFF]) + data[i + 1:]


def gzip_file(data, out):
    Path(out).write_bytes(gzip.compress(data))
    return Path(out)


class Switch:
    """A simulated switch in a directory; work is scratch space for images."""

    def __init__(self, path, work, engine=NS):
        self.path, self.work, self.engine = Path(path), Path(work), engine
        self.work.mkdir(parents=True, exist_ok=True)
        self.register_file = self.path / "slot-register.bin"

    def new(self, erase_size=65536):
        run([SWITCH_SIM, "new", self.path, "--erase-size", erase_size])
        return self

    def setenv(self, *assignments):
        run([SWITCH_SIM, "setenv", self.path] + list(assignments))

    def register(self, reg):
        return self.register_file.read_bytes()[reg]

    def select_slot(self, slot):
        regs = self.register_file.read_bytes()   # REG_SELECTED is the first
        self.register_file.write_bytes(bytes([slot]) + regs[1:])

    def slot_path(self, slot):
        return self.path / "root" / "user" / "images" / ("image%d" % slot)

    def put_slot(self, slot, data):
        data = data if isinstance(data, bytes) else Path(data).read_bytes()   # or a file's
        self.slot_path(slot).write_bytes(data)

    def remove_slot(self, slot):
        self.slot_path(slot).unlink(missing_ok=True)

    def flash(self, name):
        """A partition file. The machine's kernel writes flash back from its page cache a
        few milliseconds after the loader's write: it is read once it stopped changing."""
        path = self.path / "flash" / (name + ".bin")
        while self.engine == VM and time.time() - path.stat().st_mtime < FLASH_SETTLE:
            time.sleep(FLASH_SETTLE)
        return path

    def boot(self, time_scale=0, args=(), timeout=None, env=None):
        """A Console on a new boot (generous timeout: a sanitizer build, a busy host,
        an emulated processor)."""
        argv = ["boot", str(self.path), "--time-scale", str(time_scale), *args]
        if self.engine == VM:
            argv.append("--vm")
        timeout = timeout or (90 if self.engine == VM else 30)
        e = dict(os.environ, TERM=os.environ.get("TERM", "vt100"),
                 SLOTBOOT_BUILD_DIR=str(build_dir()), **(env or {}))
        return Console(pexpect.spawn(str(SWITCH_SIM), argv + ([] if "--arch" in args or
                       self.engine == VM else loader_args()), env=e, encoding="utf-8", codec_errors="replace",
                       timeout=timeout, dimensions=(40, 200)), typing=self.engine == VM)

    def bus_log(self):
        p = self.path / "bus.log"
        return p.read_text().splitlines() if p.exists() else []

    def i2c_log(self):   # without the flash lines
        return [l for l in self.bus_log() if not l.startswith("flash ")]


class Console:
    """The switch's console, as an operator sees it. What it prints is kept (transcript,
    with CR LF as LF) and shown on stdout, which pytest reports when a test fails."""

    def __init__(self, child, typing=False):
        self.child, self._parts, self.typing = child, [], typing
        child.logfile_read = self

    def write(self, text):
        self._parts.append(text)
        sys.stdout.write(text)

    def flush(self):
        sys.stdout.flush()

    @property
    def transcript(self):
        return "".join(self._parts).replace("\r\n", "\n")

    def expect(self, text, timeout=-1):
        self.child.expect_exact(text.replace("\n", "\r\n"), timeout=timeout)
        return self.child.before

    def expect_in_order(self, *texts):
        for t in texts:
            self.expect(t)

    def key(self, text):
        """Sends text; typing: one key at a time, as an operator types. On a UART the
        keys of a paste arrive while the loader switches its terminal's modes between
        two keys, and the terminal echoes some of them itself."""
        for ch in text if self.typing else [text]:
            self.child.send(ch)
            time.sleep(TYPING_PAUSE * self.typing)

    def line(self, text):
        self.child.send(text + "\r")

    def interrupt(self):
        self.child.sendintr()

    def finish(self, timeout=-1):
        """Waits for the boot's end: (what was printed since the last expect, status)."""
        self.child.expect(pexpect.EOF, timeout=timeout)
        self.child.close()
        status = self.child.exitstatus
        return self.child.before, 128 + (self.child.signalstatus or 0) if status is None else status

    def close(self):
        self.child.close(force=True)
