# The system tests' switches (switch-sim), archives (tar), images (slotimg), console (a pty),
# the loader's console texts and the operator's steps at the Rescue Mode menu.
import os
import select
import subprocess
import sys
import termios
import time
from pathlib import Path

import pexpect

REPO = Path(__file__).resolve().parents[2]
SWITCH_SIM = REPO / "tools" / "switch-sim" / "switch-sim"
REG_SELECTED, REG_BOOTED = 0, 0x3A
APPLICATION, DIAGNOSTICS = "application", "diagnostics"
# Engines: "ns" boots slotboot-sim on the simulated board in namespaces, "vm" the Linux
# build on a real kernel's drivers in qemu.
NS, VM = "ns", "vm"
TYPING_PAUSE = 0.1
FLASH_SETTLE = 0.3

PROMPT = "Option? : "
LISTING = ("Please select one of the following options:\n"
           "\tT) Configure networking and tftp download an image\n"
           "\tX) Use xmodem 1K to serial download an image\n"
           "\tR) Reboot\n"
           "\tE) Exit\n")
MENU = "Entering Rescue Mode.\n" + LISTING + "\n" + PROMPT
SLOT_QUESTION = "Install image as image 1 or 2 (hit return to just boot image): "
RECOVERY_QUESTION = "Install recovery image as image 1 or 2 (hit return to just boot image): "
ERASE_QUESTION = ("Confirm: Erase filesystem? (all saved data, configuration, keys will be "
                  "lost) y/N: ")
RESCUE_QUESTION = "Would you like to enter recovery mode to download a new image? y/N: "
TFTP_QUESTIONS = ["IP addr    :", "Netmask    :", "Gateway    :", "Server addr:",
                  "Image Filename: "]
TFTP_SERVER = "192.0.2.1"
INSTALL_SCRIPT = "Running install script"
# switch-sim's stand-ins: the application's launch, init's reboot
BACKTRACE, REBOOT = "[switch-sim] backtrace", "[switch-sim] reboot"


def build_dir():
    return Path(os.environ.get("SLOTBOOT_BUILD_DIR") or REPO / "build" / "host")


def ppc_build_dir():
    return Path(os.environ.get("SLOTBOOT_PPC_BUILD_DIR") or REPO / "build" / "ppc")


def loader_args():   # SLOTBOOT_SYSTEM_ARCH=ppc: every boot runs the PowerPC loader in qemu
    ppc = os.environ.get("SLOTBOOT_SYSTEM_ARCH") == "ppc"
    return ["--arch", "ppc", "--build", str(ppc_build_dir())] if ppc else []


def tool_env(**extra):   # of switch-sim and the scripts: the build, a terminal
    return dict(os.environ, TERM=os.environ.get("TERM", "vt100"),
                SLOTBOOT_BUILD_DIR=str(build_dir()), **extra)


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


def corrupted(data, offset_from_end=1):
    i = len(data) - offset_from_end
    return data[:i] + bytes([data[i] ^ 0xFF]) + data[i + 1:]


def random_image(slotimg, work, image_type, size, version="1.0.0.1"):   # the bytes of an image
    (Path(work) / "payload").write_bytes(os.urandom(size))   # of random content
    return make_image(slotimg, Path(work) / "payload", Path(work) / "sub.img", image_type,
                      version).read_bytes()


def big_app(app_image, banner):   # an application image of three 64 KiB chunks and more
    return app_image(banner, extra={"home/data/blob": os.urandom(150001)}).read_bytes()


class Switch:
    """A simulated switch in a directory; work: scratch space."""

    def __init__(self, path, work, engine=NS):
        self.path, self.work, self.engine = Path(path), Path(work), engine
        self.work.mkdir(parents=True, exist_ok=True)
        self.register_file = self.path / "slot-register.bin"

    def new(self, erase_size):
        run([SWITCH_SIM, "new", self.path, "--erase-size", erase_size])
        self.erase_size = erase_size
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

    def flash(self, name):
        """A partition file; the machine's, once its kernel's page cache stopped writing it."""
        path = self.path / "flash" / (name + ".bin")
        while self.engine == VM and time.time() - path.stat().st_mtime < FLASH_SETTLE:
            time.sleep(FLASH_SETTLE)
        return path

    def boot_command(self, time_scale=0, args=(), env=None):   # switch-sim's argv, environment
        argv = [str(SWITCH_SIM), "boot", str(self.path), "--time-scale", str(time_scale), *args]
        argv += ["--vm"] if self.engine == VM else loader_args()
        return argv, tool_env(**(env or {}))

    def boot(self, time_scale=0, args=(), env=None):
        """A Console on a new boot (long timeouts: a sanitizer build, a busy host, an emulator)."""
        vm = self.engine == VM
        return spawn(*self.boot_command(time_scale, args, env), timeout=90 if vm else 30, typing=vm)

    def bus_log(self):
        p = self.path / "bus.log"
        return p.read_text().splitlines() if p.exists() else []


def spawn(argv, env, timeout=30, typing=False):   # a Console on a program on a new terminal
    return Console(pexpect.spawn(argv[0], argv[1:], env=env, encoding="utf-8",
                                 codec_errors="replace", timeout=timeout, dimensions=(40, 200)),
                   typing)


class Console:
    """The switch's console as an operator sees it; what it prints is kept (transcript, CR LF
    as LF) and shown on stdout (pytest reports it for a failed test)."""

    def __init__(self, child, typing=False):
        self.child, self._parts, self._shown, self.typing = child, [], 0, typing
        self._answered_after = None   # what was shown when a key went without an expect since
        child.logfile_read = self

    def write(self, text):
        self._parts.append(text)
        self._shown += len(text)
        sys.stdout.write(text)

    def flush(self):
        sys.stdout.flush()

    @property
    def transcript(self):
        return "".join(self._parts).replace("\r\n", "\n")

    def expect(self, text, timeout=-1):
        self._answered_after = None
        self.child.expect_exact(text.replace("\n", "\r\n"), timeout=timeout)
        return self.child.before

    def expect_in_order(self, *texts):
        for t in texts:
            self.expect(t)

    def wait_for_key_read(self):
        """Until the loader answered the key before and reads key by key again (out of its
        wait the terminal's line mode would echo a key too)."""
        deadline = time.monotonic() + self.child.timeout
        while self._shown == self._answered_after:
            assert time.monotonic() < deadline, "no answer to the key before"
            self.child.expect([pexpect.TIMEOUT], timeout=0.01)   # keeps what it reads
        while termios.tcgetattr(self.child.child_fd)[3] & termios.ICANON:
            assert time.monotonic() < deadline, "the console is never read key by key"
            time.sleep(0.01)

    def key(self, keys):
        """typing (a machine's UART, whose mode the pty does not show): one key at a time, a
        pause after the answer to the one before, as an operator types."""
        for k in keys if self.typing else [keys]:
            self.wait_for_key_read()
            time.sleep(TYPING_PAUSE * self.typing)
            self.send(k)
            self._answered_after = self._shown if k else None

    def line(self, text):
        self.key(text + "\r")

    def send(self, data):
        """At once: a line for a read in line mode (the terminal holds it), a transfer."""
        self.child.send(data)

    def interrupt(self, key_by_key=True):   # Ctrl-C, which the terminal turns into SIGINT
        if key_by_key:
            self.wait_for_key_read()
        self.child.sendintr()
        self._answered_after = self._shown

    def finish(self):
        """At the boot's end: (what was printed since the last expect, status)."""
        self.child.expect(pexpect.EOF)
        self.child.close()
        status = self.child.exitstatus
        return self.child.before, 128 + (self.child.signalstatus or 0) if status is None else status

    def close(self):
        self.child.close(force=True)


def rescue_menu(switch, boot, **options):
    """A boot (the boot fixture's options) into Rescue Mode; its Console at the menu."""
    switch.setenv("diagnostics=rescue")
    c = boot(**options)
    c.expect(MENU)
    return c


def tftp_answers(c, answers):   # to the questions of T in turn, as many as given
    for question, answer in zip(TFTP_QUESTIONS, answers):
        c.expect(question)
        c.line(answer)


def tftp_download(c, name, netmask="255.255.255.0", gateway=""):   # from the menu, as 192.0.2.5
    c.key("T")
    tftp_answers(c, ("192.0.2.5", netmask, gateway, TFTP_SERVER, name))


def reboot_from_menu(c):   # R; switch-sim's status
    c.key("R")
    c.expect("R\n")
    c.expect(REBOOT)
    return c.finish()[1]


BEGIN_XMODEM = ("       Change the baud rate to 115200 bps and hit the <ENTER> key\n"
                "       before initiating the download.\n")
END_XMODEM = "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n"
SETTLE = 0.5   # the loader drains and flushes the line after each of them


def xmodem_download(c, switch, *parts):
    """At the menu: X, Enter (CR), the parts sent by `sz --xmodem --1k` (none: the sender
    cancels), Enter (LF). sz's bytes wait 5 ms after each answer, as on a line (a pty's flush
    would drop them); sz stops once the loader waits again (its last ACK may be lost). On a
    machine the operator answers the baud-rate texts (its UART sends them whole)."""
    bundle = switch.work / "bundle.img"
    bundle.write_bytes(b"".join(parts))
    assert not parts or bundle.stat().st_size % 1024   # the transfer pads the last block
    vm = switch.engine == VM
    c.key("X")
    if vm:
        c.expect(BEGIN_XMODEM)
        time.sleep(SETTLE)
    else:
        c.expect("... Waiting for the <Enter> key to be hit before the download can start...")
    c.send("\r")

    def waits():   # the one-second waits of the loader so far; the receiver makes none
        return switch.bus_log().count("wait 1s")
    fd, before, deadline = c.child.child_fd, waits(), time.monotonic() + 120
    sz = parts and subprocess.Popen(["sz", "--xmodem", "--1k", str(bundle)],
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL)
    last_answer, back, relayed = 0.0, None, b""
    while back is None or (sz and sz.poll() is None and time.monotonic() - back < 1.0):
        assert time.monotonic() < deadline, "the transfer did not end"
        if not sz:
            os.write(fd, b"\x18" * 10)   # CAN
            time.sleep(0.2)
        readable = select.select([fd] + ([sz.stdout] if sz else []), [], [], 0.05)[0]
        if fd in readable:
            data, last_answer = os.read(fd, 4096), time.monotonic()
            relayed += data
            try:
                sz and os.write(sz.stdin.fileno(), data)
            except BrokenPipeError:
                pass
        if sz and sz.stdout in readable:
            data = os.read(sz.stdout.fileno(), 4096)
            time.sleep(max(0.0, last_answer + 0.005 - time.monotonic()))
            os.write(fd, data)
        if back is None and (END_XMODEM.encode() in relayed if vm else  # transfer settings:
                             waits() >= before + 5):                    # a bare line feed
            back = time.monotonic()
    if sz:
        sz.kill()
        sz.wait()
    if vm:
        time.sleep(SETTLE)
    else:
        c.expect("... Waiting for the <ENTER> key to be hit...")   # it repeats: whatever sz read
    c.send("\n")   # the line is back in its line mode: Enter ends the wait
