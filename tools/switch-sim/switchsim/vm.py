# Booting a switch in a virtual machine (switch-sim boot DIR --vm): the real
# loader (slotboot, the Linux build) on a real kernel's drivers. qemu runs
# the machine (its PID 1 is vm_init.sh); this process is its cable harness:
# the console (the first UART) on the calling terminal, the control line (the
# second UART) that brings the boot-slot register's writes, the SMBus traffic
# and the loader's exit status, qemu's monitor for the link state, and the
# server host for --net. The third UART is the kernel's log.
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import termios
import time
import tty

from . import board, boot, installation, network, paths, rootfs, vm_assets, vm_image
from .util import die_with_parent, run

EM_X86_64 = 62
PT_INTERP = 3
QEMU = "qemu-system-x86_64"
MEMORY_MB = 512
SLOT_DEVICE = 0x54
USER_WRITE_BYTES_PER_SECOND = 131072
FLASH_WRITE_BYTES_PER_SECOND = 256 << 10
SOCKET_WAIT_SECONDS = 10.0
KVM_PROBE_SECONDS = 8.0
# Bytes of one read or write on the console; small enough that the terminal
# never waits long behind one.
CHUNK = 4096
# The kernel's trace of an SMBus transfer on bus 0: a write, or a read's reply.
TRACE = re.compile(r"smbus_(write|reply): i2c-\d+ a=([0-9a-f]+) f=[0-9a-f]+ "
                   r"c=([0-9a-f]+) (\w+) l=(\d+) \[([0-9a-f-]*)\]")


def cache_folder(loader):
    """Where the machine's kernel is kept: "vm" beside the loader's build
    folder (build/vm for build/host)."""
    return os.path.join(os.path.dirname(os.path.dirname(os.path.realpath(loader))), "vm")


def is_static(path):
    """Whether an ELF file has no program interpreter (a static program)."""
    with open(path, "rb") as f:
        head = f.read(64)
        if len(head) < 64 or head[:4] != b"\x7fELF" or head[4] != 2:
            return False
        order = "little" if head[5] == 1 else "big"
        phoff = int.from_bytes(head[32:40], order)
        phentsize = int.from_bytes(head[54:56], order)
        phnum = int.from_bytes(head[56:58], order)
        for i in range(phnum):
            f.seek(phoff + i * phentsize)
            entry = f.read(4)
            if len(entry) < 4:
                return False
            if int.from_bytes(entry, order) == PT_INTERP:
                return False
    return True


def find_loader(repo, build_option):
    """The Linux build of the loader: --build, SLOTBOOT_BUILD_DIR or build/host."""
    build = build_option or os.environ.get("SLOTBOOT_BUILD_DIR") or \
        os.path.join(repo, "build", "host")
    loader = os.path.join(build, "slotboot")
    if not os.path.isfile(loader):
        raise boot.BootError("no loader at %s (build the slotboot target, or give "
                             "--build DIR)" % loader)
    if boot.elf_machine(loader) != EM_X86_64 or not is_static(loader):
        raise boot.BootError("%s is not a static x86-64 program (the virtual machine "
                             "runs the host preset's static build)" % loader)
    return loader


def static_busybox():
    for candidate in (shutil.which("busybox"), "/bin/busybox"):
        if candidate and os.path.isfile(candidate) and is_static(candidate):
            return os.path.realpath(candidate)
    raise boot.BootError("no static busybox (apt-get install busybox-static)")


# ---------------------------------------------------------------- accelerator

PROBE_INIT = b"#!/bin/busybox sh\n/bin/busybox echo KVM-RUNS > /dev/ttyS0\n" \
    b"/bin/busybox reboot -f\n"


def kvm_works(kernel, workdir):
    """True when a machine under KVM boots this kernel to its first program
    within a few seconds (it takes one; nested KVM may hang for minutes)."""
    try:
        os.close(os.open("/dev/kvm", os.O_RDWR))
    except OSError:
        return False
    probe = os.path.join(workdir, "probe.cpio")
    with open(probe, "wb") as out:
        w = vm_image.CpioWriter(out)
        for d in ("bin", "dev"):
            w.directory(d)
        w.char_device("dev/console", vm_image.CONSOLE_MAJOR, vm_image.CONSOLE_MINOR)
        with open(static_busybox(), "rb") as f:
            w.file("bin/busybox", f.read(), 0o755)
        w.file("init", PROBE_INIT, 0o755)
        w.finish()
    argv = [QEMU, "-accel", "kvm", "-machine", "pc", "-m", str(MEMORY_MB), "-nodefaults",
            "-display", "none", "-no-reboot", "-kernel", kernel.image, "-initrd", probe,
            "-append", "console=ttyS0 rdinit=/init panic=-1 quiet", "-serial", "stdio"]
    try:
        r = subprocess.run(argv, capture_output=True, timeout=KVM_PROBE_SECONDS)
        return b"KVM-RUNS" in r.stdout
    except subprocess.TimeoutExpired:
        return False
    except OSError:
        return False


def accelerator(kernel, cache, workdir):
    """tcg or kvm: SWITCH_SIM_VM_ACCEL when set, else what the probe found
    (probed once; the answer is kept in the cache folder)."""
    choice = os.environ.get("SWITCH_SIM_VM_ACCEL", "")
    if choice in ("tcg", "kvm"):
        return choice
    kept = os.path.join(cache, "accelerator")
    try:
        with open(kept) as f:
            choice = f.read().strip()
    except OSError:
        choice = ""
    if choice not in ("tcg", "kvm"):
        choice = "kvm" if kvm_works(kernel, workdir) else "tcg"
        with open(kept, "w") as f:
            f.write(choice + "\n")
    return choice


# ---------------------------------------------------------------- the machine

def register_hex(switch_dir):
    with open(paths.on_host(switch_dir, "register"), "rb") as f:
        data = f.read(board.REGISTER_SIZE)
    data += bytes(board.REGISTER_SIZE - len(data))   # a short file reads as zeros
    return " ".join("%02x" % b for b in data)


def qemu_command(kernel, initramfs, workdir, switch_dir, accel, net):
    root = paths.on_host(switch_dir, "root")
    cmd = [QEMU, "-accel", accel, "-machine", "pc", "-m", str(MEMORY_MB), "-smp", "1",
           "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot", "-S",
           "-kernel", kernel.image, "-initrd", initramfs,
           "-append", "console=ttyS2 rdinit=/init panic=-1 quiet",
           "-monitor", "unix:%s,server=on,wait=off" % os.path.join(workdir, "monitor"),
           "-chardev", "socket,id=console,path=%s,server=on,wait=off"
           % os.path.join(workdir, "console"),
           "-serial", "chardev:console",
           "-chardev", "socket,id=control,path=%s,server=on,wait=off"
           % os.path.join(workdir, "control"),
           "-serial", "chardev:control",
           "-serial", "file:%s" % os.path.join(workdir, "kernel.log")]
    for name, _ in board.PARTITION_CONTENT:   # written at about a NOR flash's pace
        cmd += ["-drive", "file=%s,format=raw,if=none,id=flash-%s,throttling.bps-write=%d"
                % (_option(paths.flash_partition(switch_dir, name)), name, FLASH_WRITE_BYTES_PER_SECOND),
                "-device", "virtio-blk-pci,drive=flash-%s,serial=%s" % (name, name)]
    # /user writes at the pace of the switch's JFFS2 flash, not of the host's disk.
    shares = [("root", root, ""), ("user", paths.on_host(switch_dir, "user"),
                                   ",throttling.bps-write=%d" % USER_WRITE_BYTES_PER_SECOND),
              ("usrlib", "/usr/lib", ",readonly=on"), ("usrlib64", "/usr/lib64", ",readonly=on")]
    for tag, path, options in shares:
        cmd += ["-fsdev", "local,id=%s,path=%s,security_model=passthrough%s"
                % (tag, _option(path), options),
                "-device", "virtio-9p-pci,fsdev=%s,mount_tag=%s" % (tag, tag)]
    if net is None:
        cmd += ["-nic", "none"]
    else:
        cmd += ["-netdev", "tap,id=mgmt,ifname=%s,script=no,downscript=no"
                % network.SERVER_PORT, "-device", "e1000,netdev=mgmt"]
    return cmd


def _option(path):
    """A path as a value in qemu's NAME=VALUE,... options (a comma doubled)."""
    return path.replace(",", ",,")


def _connect(path, deadline, qemu):
    while True:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            return s
        except OSError:
            s.close()
        if qemu.poll() is not None:
            raise boot.BootError("qemu stopped at once (status %d)" % qemu.returncode)
        if time.monotonic() > deadline:
            raise boot.BootError("qemu made no %s socket" % os.path.basename(path))
        time.sleep(0.02)


class ServerHost(network.Network):
    """The server host of a networked machine: a network namespace whose port
    is a tap device; qemu, started in that namespace, cables the machine's
    e1000 to it. The servers are the namespace engine's."""

    def _start(self):
        for tool in ("ip", "in.tftpd", "busybox"):
            if shutil.which(tool) is None and not os.path.exists("/usr/sbin/" + tool):
                raise network.NetworkError("%s not found (apt-get install iproute2 "
                                           "tftpd-hpa busybox-static)" % tool)
        network.remove_stale_namespaces()
        tftp_dir = os.path.join(self.switch_dir, "tftp")
        os.makedirs(tftp_dir, exist_ok=True)
        self.workdir = tempfile.mkdtemp(prefix="switch-sim-net.")
        run("ip", "netns", "add", self.server_ns)
        self.made.append(self.server_ns)
        ns = ("ip", "-n", self.server_ns)
        run(*ns, "tuntap", "add", "dev", network.SERVER_PORT, "mode", "tap")
        run(*ns, "link", "set", "lo", "up")
        run(*ns, "addr", "add", "%s/%d" % (network.SERVER_ADDRESS,
                                                      network.PREFIX_LENGTH),
                     "dev", network.SERVER_PORT)
        run(*ns, "link", "set", network.SERVER_PORT, "up")
        if self.mode == network.PLUGGED:
            self._start_servers(tftp_dir)


class Machine:
    """One run of the machine: qemu and its three lines. run() carries the
    console between the terminal and the machine until the machine stops, and
    returns the loader's exit status."""

    def __init__(self, switch_dir, qemu_argv, workdir, unplugged):
        self.switch_dir = switch_dir
        self.workdir = workdir
        self.unplugged = unplugged
        self.qemu = subprocess.Popen(qemu_argv, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL,
                                     stderr=open(os.path.join(workdir, "qemu.err"), "wb"),
                                     preexec_fn=die_with_parent, close_fds=True)
        self.status = None
        self.failure = None
        self.control_text = b""

    def start(self):
        deadline = time.monotonic() + SOCKET_WAIT_SECONDS
        self.monitor = _connect(os.path.join(self.workdir, "monitor"), deadline, self.qemu)
        self.console = _connect(os.path.join(self.workdir, "console"), deadline, self.qemu)
        self.control = _connect(os.path.join(self.workdir, "control"), deadline, self.qemu)
        if self.unplugged:   # the cable without carrier, before the driver looks
            self.monitor.sendall(b"set_link mgmt off\n")
        self.monitor.sendall(b"cont\n")

    def pull_plug(self):
        if self.qemu.poll() is None:
            self.qemu.kill()

    def run(self, fd_in, fd_out):
        """Carries bytes until qemu ends: the machine's console to fd_out, fd_in
        (None: no input) to the console, the control line to on_control."""
        readers = [self.console, self.control, self.monitor] + [fd_in] * (fd_in is not None)
        try:
            while self.qemu.poll() is None:
                for source in select.select(readers, [], [], 0.2)[0]:
                    if not self._carry(source, fd_out):
                        readers.remove(source)
            # What the machine wrote last is still in the sockets.
            for s in (self.console, self.control):
                s.setblocking(False)
                while self._carry(s, fd_out):
                    pass
            self.on_control(b"\n")
        finally:
            self.pull_plug()
            self.qemu.wait()

    def _carry(self, source, fd_out):
        """Moves what one source has; False at its end."""
        try:
            data = source.recv(CHUNK) if isinstance(source, socket.socket) else \
                os.read(source, CHUNK)
        except (BlockingIOError, InterruptedError):
            return False
        except OSError:
            data = b""
        if source is self.console and fd_out is not None:
            _write_all(fd_out, data)
        elif source is self.control:
            self.on_control(data)
        elif not isinstance(source, socket.socket) and data:
            self.console.sendall(data)   # the terminal's keys
        return bool(data)

    def on_control(self, data):
        self.control_text += data
        *lines, self.control_text = self.control_text.split(b"\n")
        for raw in lines:
            self.control_line(raw.decode("ascii", "replace").strip())

    def control_line(self, line):
        m = TRACE.search(line)
        if m:
            self.traced(*m.groups())
            return
        words = line.split()
        if len(words) < 2 or words[0] != "switch-sim":
            return
        if words[1] == "status" and len(words) == 3 and words[2].isdigit():
            self.status = int(words[2])
        elif words[1] == "register" and len(words) == 2 + board.REGISTER_SIZE:
            try:
                values = [int(w, 16) for w in words[2:]]
            except ValueError:
                return   # a byte the dump could not read: keep what the writes left
            self.store_register(0, values)
        elif words[1] == "failed":
            self.failure = " ".join(words[2:])

    def traced(self, kind, address, command, protocol, length, data):
        """One SMBus transfer of the machine's bus 0: into the bus log in the
        simulated board's words, and a write to the boot-slot device into
        its register file."""
        address, command = int(address, 16), int(command, 16)
        values = [int(x, 16) for x in data.split("-") if x][:int(length)]
        if protocol == "BYTE_DATA" and len(values) == 1:
            line = ("smbus-write 0x%02x reg 0x%02x 0x%02x" if kind == "write" else
                    "smbus-read 0x%02x reg 0x%02x -> 0x%02x") % (address, command, values[0])
            with open(paths.on_host(self.switch_dir, "bus_log"), "a") as log:
                log.write(line + "\n")
        if kind == "write" and address == SLOT_DEVICE and \
                protocol in ("BYTE_DATA", "I2C_BLOCK_DATA"):
            self.store_register(command, values)

    def store_register(self, first, values):
        values = values[:max(0, board.REGISTER_SIZE - first)]
        if not values:
            return
        path = paths.on_host(self.switch_dir, "register")
        fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o644)
        try:
            os.pwrite(fd, bytes(values), first)
        finally:
            os.close(fd)

    def kernel_log_tail(self, lines=15):
        try:
            with open(os.path.join(self.workdir, "kernel.log"), "rb") as f:
                text = f.read().decode("utf-8", "replace")
            with open(os.path.join(self.workdir, "qemu.err"), "rb") as f:
                text += f.read().decode("utf-8", "replace")
        except OSError:
            return ""
        return "\n".join(text.splitlines()[-lines:])


def _write_all(fd, data):
    while data:
        try:
            n = os.write(fd, data)
        except BlockingIOError:
            select.select([], [fd], [])
            continue
        data = data[n:]


def run_vm_boot(repo, switch_dir, build=None, net=None, user_size=None):
    """Boots the switch in switch_dir in a virtual machine on the calling
    terminal; returns the loader's exit status (128 + N when signal N ended
    the boot: a power cut)."""
    if os.geteuid() != 0:
        raise boot.BootError("boot needs root (qemu's shared folders keep the files' "
                             "owners; the network needs namespaces); run it as root")
    if shutil.which(QEMU) is None:
        raise boot.BootError("%s not found (apt-get install qemu-system-x86)" % QEMU)
    switch_dir = os.path.realpath(switch_dir)
    config = board.read_config(switch_dir)
    loader = find_loader(repo, build)
    try:
        kernel = vm_assets.ensure_kernel(cache_folder(loader))
    except vm_assets.AssetError as e:
        raise boot.BootError(str(e))
    root = paths.on_host(switch_dir, "root")
    try:
        rootfs.populate(root, loader, loader_at="vm_loader")
        network.install_dhclient(root, net is not None)
        os.makedirs(paths.on_host(switch_dir, "sim_user"), exist_ok=True)
    except (rootfs.RootError, OSError, subprocess.CalledProcessError) as e:
        raise boot.BootError(str(e))
    # The bus log of this boot: the SMBus transfers that the machine's kernel
    # traced (no opens, targets, plain writes or waits, which it cannot see).
    open(paths.on_host(switch_dir, "bus_log"), "wb").close()

    workdir = tempfile.mkdtemp(prefix="switch-sim-vm.")
    try:
        settings = {
            "MODULES": " ".join(kernel.modules),
            "PARTITIONS": " ".join(name for name, _ in board.PARTITION_CONTENT),
            "ERASE_SIZE": config["erase_size"],
            "REGISTER": register_hex(switch_dir),
            "NET": net or "none",
            "USER_SIZE": user_size or "",
            "TERM": os.environ.get("TERM", "vt100"),
        }
        initramfs = os.path.join(workdir, "initramfs.cpio")
        vm_image.write_initramfs(initramfs, static_busybox(), kernel, settings)
        accel = accelerator(kernel, cache_folder(loader), workdir)
        argv = qemu_command(kernel, initramfs, workdir, switch_dir, accel, net)
        return _run_machine(switch_dir, argv, workdir, net)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def _run_machine(switch_dir, argv, workdir, net):
    ended_by = []

    def end(signum, _frame):
        ended_by.append(signum)
        raise SystemExit(128 + signum)
    previous = {s: signal.signal(s, end) for s in (signal.SIGTERM, signal.SIGHUP)}
    try:
        if net is None:
            return _on_terminal(switch_dir, argv, workdir, False, ended_by)
        with ServerHost(switch_dir, net) as host:
            argv = ["ip", "netns", "exec", host.server_ns] + argv
            return _on_terminal(switch_dir, argv, workdir, net == network.UNPLUGGED,
                                ended_by)
    except network.NetworkError as e:
        raise boot.BootError(str(e))
    finally:
        for s, h in previous.items():
            signal.signal(s, h)


def _on_terminal(switch_dir, argv, workdir, unplugged, ended_by):
    fd, _ = boot.console_tty()
    guard = boot.TerminalGuard(fd)
    old_int = signal.signal(signal.SIGINT, signal.SIG_IGN)
    machine = None
    try:
        if fd is not None:
            # Every byte goes to the machine's UART as typed: Ctrl-C is the
            # loader's, through the machine's own terminal driver.
            tty.setraw(fd, termios.TCSANOW)
        machine = Machine(switch_dir, argv, workdir, unplugged)
        machine.start()
        machine.run(0 if _readable(0) else None, 1)
    except SystemExit:
        if machine is not None:   # terminating switch-sim pulls the plug
            machine.pull_plug()
            machine.qemu.wait()
        return 128 + ended_by[0] if ended_by else 1
    finally:
        signal.signal(signal.SIGINT, old_int)
        guard.restore()
    if machine.failure:
        raise boot.BootError("the machine could not start the switch: %s\n%s"
                             % (machine.failure, machine.kernel_log_tail()))
    if machine.status is None:
        raise boot.BootError("the machine stopped without the loader's exit status:\n%s"
                             % machine.kernel_log_tail())
    return machine.status


def _readable(fd):
    try:
        os.fstat(fd)
        return True
    except OSError:
        return False


def boot_in_machine(repo, args):
    """switch-sim boot --vm: the options that a machine can honour."""
    if installation.loader_dir("/") is not None:
        raise boot.BootError("--vm runs from a source checkout, whose build folder "
                             "holds the machine's loader and kernel")
    if args.arch != "host":
        raise boot.BootError("--vm runs the x86-64 loader; it takes no --arch ppc")
    if args.time_file:
        raise boot.BootError("--vm does not measure the loader (--time-file)")
    return run_vm_boot(repo, args.dir, build=args.build, net=args.net,
                       user_size=args.user_size)
