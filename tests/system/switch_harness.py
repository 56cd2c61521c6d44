# Helpers for the system tests: simulated switches made with switch-sim,
# application archives made with tar, images made with slotimg, and a console
# driven through a pty with pexpect, as an operator would.
import gzip
import os
import subprocess
import sys
from pathlib import Path

import pexpect

REPO = Path(__file__).resolve().parents[2]
SWITCH_SIM = REPO / "tools" / "switch-sim" / "switch-sim"

REG_SELECTED = 0
REG_BOOTED = 0x3A
APPLICATION = "application"
DIAGNOSTICS = "diagnostics"

# Generous: the build may be a debug or sanitizer build on a busy machine.
CONSOLE_TIMEOUT = 30


def build_dir():
    return Path(os.environ.get("SLOTBOOT_BUILD_DIR") or REPO / "build" / "host")


def ppc_build_dir():
    return Path(os.environ.get("SLOTBOOT_PPC_BUILD_DIR") or REPO / "build" / "ppc")


def loader_args():
    """SLOTBOOT_SYSTEM_ARCH=ppc boots every switch with the PowerPC loader under
    qemu-user (slotimg still comes from the host build)."""
    if os.environ.get("SLOTBOOT_SYSTEM_ARCH") == "ppc":
        return ["--arch", "ppc", "--build", str(ppc_build_dir())]
    return []


def run(cmd, **kw):
    """Runs a host command; a failure shows its output in the test report."""
    r = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, **kw)
    if r.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s%s" % (" ".join(map(str, cmd)),
                                                        r.returncode, r.stdout, r.stderr))
    return r


# ------------------------------------------------------------ application

def app_script(banner, variables):
    """The application program: a banner, then each variable its env-setup
    gave it, then whatever the memory checker preload says."""
    lines = ["#!/bin/sh", 'echo "%s"' % banner]
    for name in variables:
        lines.append('echo "app sees %s=[${%s}]"' % (name, name))
    lines.append('echo "app sees LD_PRELOAD=[${LD_PRELOAD}]"')
    lines.append('echo "app args=[$*]"')
    return "\n".join(lines) + "\n"


def make_app_tree(root, banner="SAMPLE APP 1.0", env_setup=(("APP_MODE", "production"),
                                                              ("APP_LEVEL", "3")),
                  distro_id=True, install_sh=True, env_setup_text=None, extra=None):
    """Writes the tree of an application archive below root (home/bin/...).
    env_setup is a sequence of (name, value) pairs written one pair a line;
    env_setup_text, when given, is the file's text as it stands."""
    root = Path(root)
    bindir = root / "home" / "bin"
    bindir.mkdir(parents=True, exist_ok=True)
    names = [n for n, _ in env_setup]

    def put(name, text, mode=0o755):
        p = bindir / name
        p.write_text(text)
        p.chmod(mode)

    put("mp.elf.strip", app_script(banner, names))
    if distro_id:
        put("distro-id", "sample-distro 1.0\n", 0o644)
    if install_sh:
        # The install script must not see what env-setup sets.
        seen = " ".join("%s=[${%s}]" % (n, n) for n in names)
        put("install.sh", '#!/bin/sh\necho "install.sh ran %s"\n' % seen)
    text = env_setup_text if env_setup_text is not None else \
        "".join("%s %s\n" % (n, v) for n, v in env_setup)
    put("env-setup", text, 0o644)
    for rel, content in (extra or {}).items():
        p = root / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(content if isinstance(content, bytes) else content.encode())
    return root


def make_archive(tree, out):
    """A gzip-compressed tar of the tree, paths relative to it (as unpacked in
    /tmp on the switch)."""
    run(["tar", "czf", out, "-C", tree, "."])
    return Path(out)


def make_image(slotimg, payload, out, image_type=APPLICATION, version="1.0.0.1",
               layout=None, header_length=None):
    cmd = [slotimg, "create", "--type", image_type, "--version", version]
    if layout is not None:
        cmd += ["--layout", str(layout)]
    if header_length is not None:
        cmd += ["--header-length", str(header_length)]
    run(cmd + [payload, "-o", out])
    return Path(out)


def make_bundle(slotimg, images, out):
    run([slotimg, "bundle", "-o", out] + list(images))
    return Path(out)


def corrupted(data, offset_from_end=1):
    """The bytes with one payload byte flipped, so that the CRC fails."""
    data = bytearray(data)
    data[len(data) - offset_from_end] ^= 0xFF
    return bytes(data)


def gzip_file(data, out):
    Path(out).write_bytes(gzip.compress(data))
    return Path(out)


# ------------------------------------------------------------ the switch

class Switch:
    """A simulated switch in a directory."""

    def __init__(self, path, work):
        self.path = Path(path)
        self.work = Path(work)     # scratch space for archives and images
        self.work.mkdir(parents=True, exist_ok=True)

    # --- making and configuring
    def new(self, erase_size=None):
        cmd = [SWITCH_SIM, "new", self.path]
        if erase_size is not None:
            cmd += ["--erase-size", str(erase_size)]
        run(cmd)
        return self

    def setenv(self, *assignments):
        run([SWITCH_SIM, "setenv", self.path] + list(assignments))

    @property
    def register_file(self):
        return self.path / "slot-register.bin"

    def register(self, reg):
        return self.register_file.read_bytes()[reg]

    def set_register(self, reg, value):
        data = bytearray(self.register_file.read_bytes())
        data[reg] = value
        self.register_file.write_bytes(bytes(data))

    def select_slot(self, slot):
        self.set_register(REG_SELECTED, slot)

    def slot_path(self, slot):
        return self.path / "root" / "user" / "images" / ("image%d" % slot)

    def put_slot(self, slot, data):
        """Stores bytes (or the content of a file) as slot file `slot`."""
        if isinstance(data, (str, os.PathLike)):
            data = Path(data).read_bytes()
        self.slot_path(slot).write_bytes(data)

    def remove_slot(self, slot):
        p = self.slot_path(slot)
        if p.exists():
            p.unlink()

    def flash(self, name):
        return self.path / "flash" / (name + ".bin")

    # --- booting
    def boot(self, time_scale=0, args=(), timeout=CONSOLE_TIMEOUT, env=None):
        """Boots the switch; returns a Console on its terminal."""
        argv = ["boot", str(self.path)]
        if time_scale is not None:
            argv += ["--time-scale", str(time_scale)]
        argv += list(args)
        if "--arch" not in args:
            argv += loader_args()
        e = dict(os.environ)
        e["SLOTBOOT_BUILD_DIR"] = str(build_dir())
        e.setdefault("TERM", "vt100")
        e.update(env or {})
        child = pexpect.spawn(str(SWITCH_SIM), argv, env=e, encoding="utf-8",
                              codec_errors="replace", timeout=timeout,
                              dimensions=(40, 200))
        return Console(child)

    def bus_log(self):
        p = self.path / "bus.log"
        return p.read_text().splitlines() if p.exists() else []

    def i2c_log(self):
        """The bus log without the flash lines."""
        return [l for l in self.bus_log() if not l.startswith("flash ")]


class _Transcript:
    """Keeps everything the console printed, and shows it on stdout, which
    pytest reports when a test fails."""

    def __init__(self):
        self.parts = []

    def write(self, text):
        self.parts.append(text)
        sys.stdout.write(text)

    def flush(self):
        sys.stdout.flush()

    def text(self):
        return "".join(self.parts).replace("\r\n", "\n")


class Console:
    """The switch's console, as an operator sees it."""

    def __init__(self, child):
        self.child = child
        self._transcript = _Transcript()
        child.logfile_read = self._transcript

    @property
    def transcript(self):
        """Everything printed so far, with the terminal's CR LF turned into LF."""
        return self._transcript.text()

    def expect(self, text, timeout=-1):
        """Waits for the exact text (newlines as the terminal shows them)."""
        self.child.expect_exact(text.replace("\n", "\r\n"), timeout=timeout)
        return self.child.before

    def expect_in_order(self, *texts):
        for t in texts:
            self.expect(t)

    def key(self, ch):
        self.child.send(ch)

    def line(self, text):
        self.child.send(text + "\r")

    def interrupt(self):
        self.child.sendintr()

    def finish(self, timeout=-1):
        """Waits for the boot to end; returns (everything printed since the last
        expectation, exit status)."""
        self.child.expect(pexpect.EOF, timeout=timeout)
        rest = self.child.before
        self.child.close()
        status = self.child.exitstatus
        if status is None:
            status = 128 + (self.child.signalstatus or 0)
        return rest, status

    def close(self):
        if self.child.isalive():
            self.child.close(force=True)
