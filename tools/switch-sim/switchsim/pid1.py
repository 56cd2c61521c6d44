# switch-sim boot, the switch's side: PID 1 of the switch's PID namespace,
# inside its own mount namespace. It mounts the switch's view of the world,
# starts the loader chrooted in the switch's root, reaps every orphan and
# plays init for busybox's reboot, halt and poweroff. Ending this process
# ends the switch: the kernel kills whatever else is left in the namespace.
import os
import signal
import subprocess
import sys

from . import paths
from .util import SimError, replace_tree

REBOOT_GRACE_SECONDS = 1.0
# What the loader starts with: the default action for every signal this
# process handles or the host side ignores.
LOADER_DEFAULT_SIGNALS = (signal.SIGINT, signal.SIGPIPE, signal.SIGXFSZ, signal.SIGUSR1,
                          signal.SIGUSR2, signal.SIGALRM, signal.SIGTERM, signal.SIGHUP,
                          signal.SIGQUIT)
DEVICES = ("null", "zero", "random", "urandom", "tty")
STATUS_NOT_MOUNTED = 125
STATUS_NOT_STARTED = 127


def mount(*args):
    r = subprocess.run(["mount"] + list(args), capture_output=True, text=True)
    if r.returncode != 0:
        raise SimError("mount %s: %s" % (" ".join(args), r.stderr.strip()))


def bind(src, dst, readonly=False):
    if os.path.isdir(src):
        os.makedirs(dst, exist_ok=True)
    elif not os.path.exists(dst):
        open(dst, "ab").close()
    mount("--bind", src, dst)
    if readonly:
        mount("-o", "remount,bind,ro", dst)


def mount_private_tmp_and_proc(root):
    mount("-t", "tmpfs", "-o", "mode=1777", "tmpfs", os.path.join(root, "tmp"))
    mount("-t", "proc", "proc", os.path.join(root, "proc"))


def make_dev(root, tty):
    """A /dev of its own: the few host devices a loader needs, and the
    console on the calling terminal (or, without one, on whatever this
    process writes to)."""
    dev = os.path.join(root, "dev")
    mount("-t", "tmpfs", "-o", "mode=755", "tmpfs", dev)
    for name in DEVICES:
        bind("/dev/" + name, os.path.join(dev, name))
    if tty:
        bind(tty, os.path.join(dev, "ttyS0"))
        bind(tty, os.path.join(dev, "console"))
    else:
        bind("/dev/null", os.path.join(dev, "ttyS0"))
        os.symlink("/proc/1/fd/1", os.path.join(dev, "console"))
    os.symlink("/proc/self/fd", os.path.join(dev, "fd"))
    for n, name in enumerate(("stdin", "stdout", "stderr")):
        os.symlink("/proc/self/fd/%d" % n, os.path.join(dev, name))


def bind_host_libraries(root):
    for lib in ("/usr/lib", "/usr/lib64"):
        if os.path.isdir(lib):
            bind(lib, os.path.join(root, lib.lstrip("/")), readonly=True)


def bind_board_files(switch_dir, root, time_file):
    for on_host, in_switch, _ in paths.BOARD_FILES:
        bind(paths.on_host(switch_dir, on_host), paths.in_root(root, in_switch))
    if time_file:
        bind(time_file, paths.in_root(root, "sim_time"))


def mount_small_user(root, size):
    """/user as a tmpfs of size bytes, seeded from DIR/root/user, which stays
    reachable below /sim/user for the copy back."""
    user, seed = paths.in_root(root, "user"), paths.in_root(root, "sim_user")
    bind(user, seed)
    mount("-t", "tmpfs", "-o", "size=%d" % size, "tmpfs", user)
    replace_tree(seed, user)


def mount_switch_view(cfg):
    """The switch's own view, in this mount namespace only; its root."""
    root = paths.on_host(cfg["switch_dir"], "root")
    mount("--make-rprivate", "/")
    mount_private_tmp_and_proc(root)
    make_dev(root, cfg.get("tty"))
    bind_host_libraries(root)
    bind_board_files(cfg["switch_dir"], root, cfg.get("time_file"))
    if cfg.get("user_size"):
        mount_small_user(root, cfg["user_size"])
    return root


class _Restarted(Exception):
    pass


class InitRequests:
    """busybox's reboot, halt and poweroff ask init with these signals: the
    request is shown on the console, and the switch restarts once the loader
    ends, or after a moment when something else (a shell the operator
    started, say) keeps running."""

    REQUESTS = {signal.SIGTERM: "reboot", signal.SIGUSR1: "halt", signal.SIGUSR2: "poweroff"}

    def __init__(self, console):
        self.console = console
        self.made = None
        for s in self.REQUESTS:
            signal.signal(s, self._on_request)
        signal.signal(signal.SIGALRM, self._on_grace_over)

    def _on_request(self, signum, _frame):
        if self.made:
            return
        self.made = signum
        line = "[switch-sim] %s\n" % self.REQUESTS[signum]
        try:
            if self.console:
                with open(self.console, "w") as f:
                    f.write(line)
            else:
                os.write(1, line.encode())
        except OSError:
            pass
        signal.setitimer(signal.ITIMER_REAL, REBOOT_GRACE_SECONDS)

    def _on_grace_over(self, _signum, _frame):
        raise _Restarted()


def start_loader(root, argv, env):
    """Forks the loader, chrooted in the switch's root; its PID."""
    pid = os.fork()
    if pid != 0:
        return pid
    try:
        for s in LOADER_DEFAULT_SIGNALS:
            signal.signal(s, signal.SIG_DFL)
        os.chroot(root)
        os.chdir("/")
        os.execve(argv[0], argv, env)
    except OSError as e:
        os.write(2, ("switch-sim: cannot start %s: %s\n" % (argv[0], e)).encode())
    os._exit(STATUS_NOT_STARTED)


def reap_until_loader_ends(loader):
    """Reaps every process that ends until the loader does; its status as a
    shell gives it (128 + N for a signal). A restart the loader outlived
    counts as an end with status 0."""
    try:
        while True:
            try:
                pid, raw = os.waitpid(-1, 0)
            except ChildProcessError:
                return 0
            if pid == loader:
                status = os.waitstatus_to_exitcode(raw)
                return 128 - status if status < 0 else status
    except _Restarted:
        return 0


def copy_user_back(root):
    """A small /user goes back to DIR/root/user when the boot ends by itself;
    a killed switch (a power cut) loses what this boot wrote."""
    try:
        replace_tree(paths.in_root(root, "user"), paths.in_root(root, "sim_user"))
    except OSError as e:
        print("switch-sim: /user not copied back: %s" % e, file=sys.stderr)


def run_init(cfg):
    """PID 1 of the switch; returns the loader's status."""
    try:
        root = mount_switch_view(cfg)
    except (SimError, OSError) as e:
        print("switch-sim: %s" % e, file=sys.stderr)
        return STATUS_NOT_MOUNTED
    InitRequests(cfg.get("tty"))
    status = reap_until_loader_ends(start_loader(root, cfg["argv"], cfg["env"]))
    if cfg.get("user_size"):
        copy_user_back(root)
    return status
