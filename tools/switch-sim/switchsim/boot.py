# switch-sim boot, the host side: checks, the switch's root made ready, the
# loader's command and environment, then the namespaces that run the switch's
# side (pid1.py) with the calling terminal as the console, cabled to the
# server host or not.
import json
import os
import select
import signal
import subprocess
import termios

from . import board, network, paths, rootfs
from .util import SimError, child_pids, die_with_parent, prctl

EM_PPC = 20
PR_SET_CHILD_SUBREAPER = 36
# Passed on to the loader when set: the board's fault injection, and the
# options of a sanitizer build.
PASSED_ON = ("SLOTBOOT_SIM_FAULTS", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")


class BootError(SimError):
    pass


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


def namespace_command(netns=None):
    """The command that puts the PID-1 side in its own namespaces: mount and
    PID (nothing outlives the boot), and an empty network namespace, so that
    the loader's ifconfig and route never touch the host's interfaces; or,
    given netns (the path of a cabled network namespace), that one."""
    if netns:
        return ["nsenter", "--net=" + netns, "unshare", "--mount", "--pid", "--uts",
                "--ipc", "--fork", "--kill-child", "--propagation", "private"]
    return ["unshare", "--mount", "--pid", "--net", "--uts", "--ipc", "--fork",
            "--kill-child", "--propagation", "private"]


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


def require_root():
    if os.geteuid() != 0:
        raise BootError("boot needs root (mount and PID namespaces, chroot); "
                        "run it as root")


def prepare_switch(switch_dir, loader, arch, time_file, net):
    """The switch's root made or refreshed, the bus log and the time file
    emptied: they hold what this boot does."""
    root = paths.on_host(switch_dir, "root")
    rootfs.populate(root, loader, qemu=(arch == "ppc"), with_time=bool(time_file))
    # Only a networked switch has a DHCP client to offer.
    network.install_dhclient(root, net is not None)
    open(paths.on_host(switch_dir, "bus_log"), "wb").close()
    if time_file:
        open(time_file, "wb").close()


def loader_command(arch, time_file):
    argv = [paths.in_switch("loader")]
    if arch == "ppc":
        argv = [paths.in_switch("qemu")] + argv
    if time_file:
        argv = [paths.in_switch("time"), "-f", "%M %e", "-o", paths.in_switch("sim_time")] + argv
    return argv


def loader_environment(config, time_scale):
    env = {"PATH": "/bin:/usr/bin", "HOME": "/", "TERM": os.environ.get("TERM", "vt100"),
           "SLOTBOOT_SIM_ERASE_SIZE": str(config["erase_size"])}
    for _, in_switch, variable in paths.BOARD_FILES:
        env[variable] = paths.in_switch(in_switch)
    if time_scale is not None:
        env["SLOTBOOT_SIM_TIME_SCALE"] = repr(float(time_scale))
    env.update({name: os.environ[name] for name in PASSED_ON if os.environ.get(name)})
    return env


def run_boot(script, repo, switch_dir, time_scale=None, arch="host", build=None,
             time_file=None, net=None, user_size=None):
    """Boots the switch in switch_dir on the calling terminal; returns the
    loader's exit status. net: None (no network), network.PLUGGED or
    network.UNPLUGGED (eth0 cabled to the server host, with or without
    carrier)."""
    require_root()
    switch_dir = os.path.realpath(switch_dir)
    config = board.read_config(switch_dir)
    loader = find_loader(repo, arch, build)
    time_file = os.path.realpath(time_file) if time_file else None
    try:
        prepare_switch(switch_dir, loader, arch, time_file, net)
    except subprocess.CalledProcessError as e:
        raise BootError(str(e))
    fd, tty = console_tty()
    pid1 = {"switch_dir": switch_dir, "tty": tty, "argv": loader_command(arch, time_file),
            "env": loader_environment(config, time_scale), "time_file": time_file,
            "user_size": user_size}
    pid1_command = ["/usr/bin/python3", script, "_init", json.dumps(pid1)]
    if net is None:
        return run_in_namespaces(namespace_command() + pid1_command, fd)
    return run_cabled(switch_dir, net, pid1_command, fd)


def run_cabled(switch_dir, net, pid1_command, fd):
    """Boots with the switch's eth0 cabled to the server host, which is
    removed when the boot ends, however it ends."""
    def end(signum, _frame):   # while the network is made or removed
        raise SystemExit(128 + signum)
    previous = {s: signal.signal(s, end) for s in (signal.SIGTERM, signal.SIGHUP)}
    try:
        with network.Network(switch_dir, net) as cabled:
            return run_in_namespaces(namespace_command(cabled.switch_ns_path) + pid1_command,
                                     fd)
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)


def wait_unless_terminal_hangs_up(proc, fd):
    """Waits for proc to end; False when the console's terminal fd (None:
    none) hung up first: closed by whatever held it, or its owner killed,
    which sends this process no signal when it is not the terminal's
    controlling process. Nobody can answer the loader any more. (Without a
    terminal the loader sees its input end, and goes on by its own rules.)"""
    pidfd = os.pidfd_open(proc.pid)
    poller = select.poll()
    poller.register(pidfd, select.POLLIN)
    if fd is not None:
        poller.register(fd, 0)   # hang-ups and errors only
    try:
        return pidfd in dict(poller.poll())
    finally:
        os.close(pidfd)


def reap_orphaned_inits():
    """Kills and reaps the switch's PID 1, which comes to this process (a child
    subreaper) once unshare has ended, however it ended: killed when the plug
    was pulled, or by a hang-up's SIGHUP, which reaches it too. Killing PID 1
    kills everything in its namespace; the kernel ends PID 1 only after them.
    Ours are the children in another PID namespace; the network's servers share
    this one."""
    own = os.stat("/proc/self/ns/pid").st_ino
    for pid in child_pids(os.getpid()):
        try:
            if os.stat("/proc/%d/ns/pid" % pid).st_ino == own:
                continue
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        except OSError:
            pass   # ended and reaped meanwhile


def run_in_namespaces(cmd, fd):
    """Runs the namespace command with the terminal fd (None: none) as the
    console; returns the loader's exit status, or 128 + the signal that
    pulled the plug (SIGHUP when the terminal hung up)."""
    guard = TerminalGuard(fd)
    # Ctrl-C on the console is the loader's: this process and the namespace
    # plumbing ignore it (the ignore is inherited down to the PID-1 side,
    # which gives the loader the default action before it starts).
    old_int = signal.signal(signal.SIGINT, signal.SIG_IGN)
    previous = {}
    try:
        prctl(PR_SET_CHILD_SUBREAPER, 1)
        proc = subprocess.Popen(cmd, preexec_fn=die_with_parent, close_fds=True)
        ended_by = []

        def pull_plug(signum, _frame=None):   # unshare would ignore SIGTERM
            ended_by.append(signum)
            proc.kill()
        for s in (signal.SIGTERM, signal.SIGHUP):
            previous[s] = signal.signal(s, pull_plug)
        if not wait_unless_terminal_hangs_up(proc, fd):
            pull_plug(signal.SIGHUP)
        status = proc.wait()
        reap_orphaned_inits()
        if ended_by:
            status = -ended_by[0]
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)
        signal.signal(signal.SIGINT, old_int)
        guard.restore()
    return 128 - status if status < 0 else status
