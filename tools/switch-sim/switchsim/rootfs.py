# The switch's root filesystem below DIR/root: busybox applets, the XMODEM
# receiver, the loader, and the stand-ins for what cannot run here.
import os
import shutil
import subprocess

from . import paths
from .util import SimError, copy_program, replace_symlink, write_file

# Stand-ins print on the console, not on their standard output, because the
# loader sends the output of some of its commands to /dev/null. Appending
# (>>) keeps a console that is a plain file intact.
SAY = 'echo "[switch-sim] %s${*:+ $*}" >> /dev/console\n'

STAND_INS = {
    "bin/mount": SAY % "mount",
    "bin/umount": SAY % "umount",
    # Erasing the JFFS2 flash leaves an empty filesystem behind.
    "bin/flash_eraseall": SAY % "flash_eraseall"
    + "rm -rf /user/* /user/.[!.]* /user/..?* 2>/dev/null\nexit 0\n",
    # busybox's shell runs its own reboot applet for a bare "reboot", which
    # asks init (PID 1) with SIGTERM; this file does the same for callers
    # that name /bin/reboot. Init prints the console line and ends the boot.
    "bin/reboot": "kill -TERM 1\nexit 0\n",
    "bin/gdbserver": SAY % "gdbserver",
    "bin/backtrace": SAY % "backtrace"
    + "app=/tmp/home/bin/mp.elf.strip\n"
    + '[ -x "$app" ] && exec "$app"\nexit 127\n',
}
# Applets left out of /bin: the stand-ins above take their place, and these
# would act on the host.
NOT_INSTALLED = {"mount", "umount", "reboot", "halt", "poweroff", "init", "linuxrc"}

# lrzsz picks XMODEM from the name "rx"; it refuses absolute paths unless
# unrestricted.
RX_WRAPPER = '#!/bin/sh\nexec %s -U "$@"\n' % paths.in_switch("rx_program")


class RootError(SimError):
    pass


def _host_program(name, fallbacks=()):
    for candidate in (shutil.which(name),) + tuple(fallbacks):
        if candidate and os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return os.path.realpath(candidate)
    return None


def busybox_applets(busybox):
    out = subprocess.run([busybox, "--list"], capture_output=True, text=True, check=True)
    return [a for a in out.stdout.split() if a and "/" not in a]


def populate(root, loader, qemu=False, with_time=False, loader_at="loader"):
    """Makes or refreshes the system part of the root (everything but /user)
    and copies the loader in (to the path named loader_at). Raises RootError
    when a needed host program is missing."""
    busybox = _host_program("busybox", ("/bin/busybox",))
    if busybox is None:
        raise RootError("busybox not found (apt-get install busybox-static)")
    for d in ("bin", "usr/bin", "usr/lib", "usr/lib64", "usr/libexec/lrzsz",
              "usr/libexec/switch-sim", "etc", "tmp", "proc", "dev", "sim/flash",
              "user/images"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    os.chmod(os.path.join(root, "tmp"), 0o1777)
    # Debian is merged-/usr: host libraries are bound on usr/lib(64).
    replace_symlink("usr/lib", os.path.join(root, "lib"))
    replace_symlink("usr/lib64", os.path.join(root, "lib64"))
    replace_symlink("bin", os.path.join(root, "sbin"))

    copy_program(busybox, os.path.join(root, "bin/busybox"))
    for applet in busybox_applets(busybox):
        if applet in NOT_INSTALLED or applet == "busybox":
            continue
        replace_symlink("busybox", os.path.join(root, "bin", applet))
    replace_symlink("/bin/busybox", os.path.join(root, "usr/bin/find"))
    for rel, body in STAND_INS.items():
        write_file(os.path.join(root, rel), "#!/bin/sh\n" + body, 0o755)

    rx = _host_program("rx", ("/usr/bin/rx", "/usr/bin/lrz"))
    if rx is not None:
        copy_program(rx, paths.in_root(root, "rx_program"))
        write_file(paths.in_root(root, "rx"), RX_WRAPPER, 0o755)

    if with_time:
        gnu_time = _host_program("time", ("/usr/bin/time",))
        if gnu_time is None or os.path.basename(gnu_time) == "busybox":
            raise RootError("/usr/bin/time not found (apt-get install time)")
        copy_program(gnu_time, paths.in_root(root, "time"))

    if qemu:
        q = _host_program("qemu-ppc-static")
        if q is None:
            raise RootError("qemu-ppc-static not found (apt-get install qemu-user-static)")
        copy_program(q, paths.in_root(root, "qemu"))

    write_file(os.path.join(root, "etc/passwd"), "root:x:0:0:root:/:/bin/sh\n", 0o644)
    write_file(os.path.join(root, "etc/group"), "root:x:0:\n", 0o644)
    copy_program(loader, paths.in_root(root, loader_at))
