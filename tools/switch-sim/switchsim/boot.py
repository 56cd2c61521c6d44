# Booting a switch: the host side prepares the root and starts the namespace
# command; the init side (PID 1 of the switch's PID namespace, inside its own
# mount namespace) mounts the switch's view, runs the loader and reaps.
import ctypes
import json
import os
import shutil
import signal
import subprocess
import sys
import termios

from . import board, network, rootfs

PR_SET_PDEATHSIG = 1
EM_PPC = 20
REBOOT_GRACE_SECONDS = 1.0


class BootError(Exception):
    pass


# ---------------------------------------------------------------- host side

def elf_machine(path):
    """The ELF e_machine of a file, or None when it is not an ELF file."""
    with open(path, "rb") as f:
        head = f.read(20)
    if len(head) < 20 or head[:4] != b"\x7fELF":
        return None
    order = "little" if head[5] == 1 else "big"
    return int.from_bytes(head[18:20], order)


def find_loader(repo, arch, build_option):
    """Where slotboot-sim comes from: --build, then SLOTBOOT_BUILD_DIR, then
    the repository's build/host (build/ppc for --arch ppc)."""
    build = build_option or os.environ.get("SLOTBOOT_BUILD_DIR") or \
        os.path.join(repo, "build", "ppc" if arch == "ppc" else "host")
    loader = os.path.join(build, "slotboot-sim")
    if not os.path.isfile(loader):
        raise BootError("no loader at %s (build the slotboot-sim target, or give "
                        "--build DIR)" % loader)
    machine = elf_machine(loader)
    if arch == "ppc" and machine != EM_PPC:
        raise BootError("%s is not a PowerPC program (give --build with a ppc build)"
                        % loader)
    if arch != "ppc" and machine == EM_PPC:
        raise BootError("%s is a PowerPC program: use --arch ppc" % loader)
    return loader


def console_tty():
    """The calling terminal (the first of stdin, stdout, stderr that is one)."""
    for fd in (0, 1, 2):
        try:
            if os.isatty(fd):
                return fd, os.ttyname(fd)
        except OSError:
            pass
    return None, None


def namespace_command(options):
    """The command that puts the init side in its own namespaces: mount and PID
    (nothing outlives the boot), and an empty network namespace, so that the
    loader's ifconfig and route never touch the host's interfaces. A networked
    variant (options["netns"]: the path of a cabled network namespace) enters
    that one instead."""
    netns = options.get("netns")
    if netns:
        return ["nsenter", "--net=" + netns, "unshare", "--mount", "--pid", "--uts",
                "--ipc", "--fork", "--kill-child", "--propagation", "private"]
    return ["unshare", "--mount", "--pid", "--net", "--uts", "--ipc", "--fork",
            "--kill-child", "--propagation", "private"]


def init_command(script, init_config):
    return ["/usr/bin/python3", script, "_init", json.dumps(init_config)]


def _die_with_parent():
    # The namespace goes when this process goes, whatever ends it.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


class TerminalGuard:
    """Keeps the terminal's settings and foreground group across the boot: a
    loader killed in raw mode, or a shell that took the terminal, must not
    leave the operator's terminal unusable."""

    def __init__(self, fd):
        self.fd = fd
        self.attrs = None
        self.foreground = False
        if fd is None:
            return
        try:
            self.attrs = termios.tcgetattr(fd)
            self.foreground = os.tcgetpgrp(fd) == os.getpgrp()
        except OSError:
            self.attrs = None

    def restore(self):
        if self.fd is None or self.attrs is None:
            return
        old = signal.signal(signal.SIGTTOU, signal.SIG_IGN)
        try:
            if self.foreground:
                os.tcsetpgrp(self.fd, os.getpgrp())
            termios.tcsetattr(self.fd, termios.TCSANOW, self.attrs)
        except OSError:
            pass
        finally:
            signal.signal(signal.SIGTTOU, old)


def run_boot(script, repo, switch_dir, time_scale=None, arch="host", build=None,
             time_file=None, net=None, user_size=None):
    """Boots the switch in switch_dir on the calling terminal; returns the
    loader's exit status. net: None (no network), network.PLUGGED or
    network.UNPLUGGED (eth0 cabled to the server host, with or without
    carrier)."""
    if os.geteuid() != 0:
        raise BootError("boot needs root (mount and PID namespaces, chroot); "
                        "run it as root")
    switch_dir = os.path.realpath(switch_dir)
    config = board.read_config(switch_dir)
    loader = find_loader(repo, arch, build)
    root = board.root_path(switch_dir)
    try:
        rootfs.populate(root, loader, qemu=(arch == "ppc"), with_time=bool(time_file))
        # Only a networked switch has a DHCP client to offer.
        network.install_dhclient(root, net is not None)
    except (rootfs.RootError, OSError, subprocess.CalledProcessError) as e:
        raise BootError(str(e))
    # The bus log holds the traffic of the last boot only.
    open(board.bus_log_path(switch_dir), "wb").close()
    if time_file:
        time_file = os.path.realpath(time_file)
        open(time_file, "wb").close()

    fd, tty = console_tty()
    env = {
        "PATH": "/bin:/usr/bin",
        "HOME": "/",
        "TERM": os.environ.get("TERM", "vt100"),
        "SLOTBOOT_SIM_FLASH_DIR": "/sim/flash",
        "SLOTBOOT_SIM_ERASE_SIZE": str(config["erase_size"]),
        "SLOTBOOT_SIM_SLOT_REGISTER": "/sim/slot-register.bin",
        "SLOTBOOT_SIM_BUS_LOG": "/sim/bus.log",
    }
    if time_scale is not None:
        env["SLOTBOOT_SIM_TIME_SCALE"] = repr(float(time_scale))
    # Passed on when set: the board's fault injection, and the options of a
    # sanitizer build of the loader.
    for name in ("SLOTBOOT_SIM_FAULTS", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
        if os.environ.get(name):
            env[name] = os.environ[name]

    argv = ["/" + rootfs.LOADER_PATH]
    if arch == "ppc":
        argv = ["/" + rootfs.QEMU_PATH] + argv
    if time_file:
        argv = ["/" + rootfs.TIME_PATH, "-f", "%M %e", "-o", "/sim/time.out"] + argv
    init_config = {
        "switch_dir": switch_dir,
        "tty": tty,
        "argv": argv,
        "env": env,
        "time_file": time_file,
        "user_size": user_size,
    }
    if net is None:
        return _boot_in_namespaces(namespace_command({}) + init_command(script, init_config),
                                   fd)
    # Being ended while the network is made still removes it.
    def end(signum, _frame):
        raise SystemExit(128 + signum)
    previous = {s: signal.signal(s, end) for s in (signal.SIGTERM, signal.SIGHUP)}
    try:
        with network.Network(switch_dir, net) as cabled:
            cmd = namespace_command({"netns": cabled.switch_ns_path}) + \
                init_command(script, init_config)
            return _boot_in_namespaces(cmd, fd)
    except network.NetworkError as e:
        raise BootError(str(e))
    finally:
        for s, h in previous.items():
            signal.signal(s, h)


def _boot_in_namespaces(cmd, fd):
    """Runs the namespace command on the terminal fd; returns the loader's
    exit status."""
    guard = TerminalGuard(fd)
    # Ctrl-C on the console is the loader's: this process and the namespace
    # plumbing ignore it (the ignore is inherited down to the init side, which
    # gives the loader the default disposition before it starts).
    old_int = signal.signal(signal.SIGINT, signal.SIG_IGN)
    previous = {}

    try:
        proc = subprocess.Popen(cmd, preexec_fn=_die_with_parent, close_fds=True)

        # Terminating switch-sim pulls the switch's plug: unshare would
        # ignore these signals, so it is killed, and the namespace with it.
        ended_by = []

        def pull_plug(signum, _frame):
            ended_by.append(signum)
            try:
                proc.kill()
            except OSError:
                pass
        for s in (signal.SIGTERM, signal.SIGHUP):
            previous[s] = signal.signal(s, pull_plug)
        status = proc.wait()
        if ended_by:
            status = -ended_by[0]
    finally:
        for s, h in previous.items():
            signal.signal(s, h)
        signal.signal(signal.SIGINT, old_int)
        guard.restore()
    if status < 0:
        return 128 - status
    return status


# ---------------------------------------------------------------- init side

def _mount(*args):
    r = subprocess.run(["mount"] + list(args), capture_output=True, text=True)
    if r.returncode != 0:
        raise BootError("mount %s: %s" % (" ".join(args), r.stderr.strip()))


def _touch(path):
    if not os.path.exists(path):
        open(path, "ab").close()


def _bind(src, dst, readonly=False):
    if os.path.isdir(src):
        os.makedirs(dst, exist_ok=True)
    else:
        _touch(dst)
    _mount("--bind", src, dst)
    if readonly:
        _mount("-o", "remount,bind,ro", dst)


def mount_switch_view(cfg):
    """The switch's own view, in this mount namespace only."""
    switch_dir = cfg["switch_dir"]
    root = board.root_path(switch_dir)
    _mount("--make-rprivate", "/")
    _mount("-t", "tmpfs", "-o", "mode=1777", "tmpfs", os.path.join(root, "tmp"))
    _mount("-t", "proc", "proc", os.path.join(root, "proc"))

    dev = os.path.join(root, "dev")
    _mount("-t", "tmpfs", "-o", "mode=755", "tmpfs", dev)
    for name in ("null", "zero", "random", "urandom", "tty"):
        _bind("/dev/" + name, os.path.join(dev, name))
    tty = cfg.get("tty")
    if tty:
        _bind(tty, os.path.join(dev, "ttyS0"))
        _bind(tty, os.path.join(dev, "console"))
    else:
        # No terminal: the console is whatever this process writes to.
        _bind("/dev/null", os.path.join(dev, "ttyS0"))
        os.symlink("/proc/1/fd/1", os.path.join(dev, "console"))
    os.symlink("/proc/self/fd", os.path.join(dev, "fd"))
    for n, name in enumerate(("stdin", "stdout", "stderr")):
        os.symlink("/proc/self/fd/%d" % n, os.path.join(dev, name))

    for lib in ("/usr/lib", "/usr/lib64"):
        if os.path.isdir(lib):
            _bind(lib, os.path.join(root, lib.lstrip("/")), readonly=True)

    sim = os.path.join(root, "sim")
    _bind(os.path.join(switch_dir, "flash"), os.path.join(sim, "flash"))
    _bind(board.register_path(switch_dir), os.path.join(sim, "slot-register.bin"))
    _bind(board.bus_log_path(switch_dir), os.path.join(sim, "bus.log"))
    if cfg.get("time_file"):
        _bind(cfg["time_file"], os.path.join(sim, "time.out"))
    if cfg.get("user_size"):
        # A small /user: a tmpfs of that size, seeded from DIR/root/user,
        # which stays reachable below /sim/user for the copy back.
        user = os.path.join(root, "user")
        _bind(user, os.path.join(sim, "user"))
        _mount("-t", "tmpfs", "-o", "size=%d" % cfg["user_size"], "tmpfs", user)
        _replace_tree(os.path.join(sim, "user"), user)
    return root


def _replace_tree(src, dst):
    """Makes dst hold exactly what src holds."""
    for name in os.listdir(dst):
        path = os.path.join(dst, name)
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        else:
            os.unlink(path)
    shutil.copytree(src, dst, symlinks=True, dirs_exist_ok=True)


class _Reboot(Exception):
    pass


def run_init(cfg):
    """PID 1 of the switch: mounts, starts the loader, reaps every orphan, and
    returns the loader's status. Ending this process ends the switch: the
    kernel kills whatever else is left in the namespace."""
    try:
        root = mount_switch_view(cfg)
    except (BootError, OSError) as e:
        print("switch-sim: %s" % e, file=sys.stderr)
        return 125

    # busybox's reboot, halt and poweroff ask init with these signals.
    requests = {signal.SIGTERM: "reboot", signal.SIGUSR1: "halt",
                signal.SIGUSR2: "poweroff"}
    console = cfg.get("tty")
    stopping = []

    def on_request(signum, _frame):
        if stopping:
            return
        stopping.append(signum)
        line = "[switch-sim] %s\n" % requests[signum]
        try:
            if console:
                with open(console, "w") as f:
                    f.write(line)
            else:
                os.write(1, line.encode())
        except OSError:
            pass
        # The loader exits by itself right after its reboot command; anything
        # else (a shell the operator started, say) is ended after a moment.
        signal.setitimer(signal.ITIMER_REAL, REBOOT_GRACE_SECONDS)

    def on_alarm(_signum, _frame):
        raise _Reboot()

    for s in requests:
        signal.signal(s, on_request)
    signal.signal(signal.SIGALRM, on_alarm)

    pid = os.fork()
    if pid == 0:
        try:
            for s in (signal.SIGINT, signal.SIGPIPE, signal.SIGXFSZ, signal.SIGUSR1,
                      signal.SIGUSR2, signal.SIGALRM, signal.SIGTERM, signal.SIGHUP,
                      signal.SIGQUIT):
                signal.signal(s, signal.SIG_DFL)
            os.chroot(root)
            os.chdir("/")
            os.execve(cfg["argv"][0], cfg["argv"], cfg["env"])
        except OSError as e:
            os.write(2, ("switch-sim: cannot start %s: %s\n" % (cfg["argv"][0], e)).encode())
        os._exit(127)

    status = 0
    try:
        while True:
            try:
                done, raw = os.waitpid(-1, 0)
            except ChildProcessError:
                break
            if done == pid:
                status = os.waitstatus_to_exitcode(raw)
                if status < 0:
                    status = 128 - status
                break
    except _Reboot:
        # The loader did not end by itself after the reboot: the switch has
        # restarted all the same.
        status = 0
    if cfg.get("user_size"):
        # The small /user goes back to DIR/root/user when the boot ends by
        # itself; a killed switch (a power cut) loses what this boot wrote.
        try:
            _replace_tree(os.path.join(root, "user"), os.path.join(root, "sim", "user"))
        except OSError as e:
            print("switch-sim: /user not copied back: %s" % e, file=sys.stderr)
    return status
