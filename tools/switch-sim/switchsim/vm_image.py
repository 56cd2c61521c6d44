# The virtual machine's initial RAM filesystem: busybox, the kernel modules,
# the machine's PID 1 (vm_init.sh) and the settings of this boot, as a newc
# cpio archive. The switch's own root is not in it: PID 1 mounts DIR/root
# from the host and runs the loader there.
import os
import stat

INIT_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "vm_init.sh")
SETTINGS_PATH = "etc/switch-sim/boot.conf"
CONSOLE_MAJOR, CONSOLE_MINOR = 5, 1


class CpioWriter:
    """Writes a newc ("070701") cpio archive, the format the kernel unpacks."""

    def __init__(self, out):
        self.out = out
        self.inode = 0
        self.names = set()

    def _entry(self, name, mode, data=b"", rdev=(0, 0)):
        if name in self.names:
            raise ValueError("%s is in the archive twice" % name)
        self.names.add(name)
        self.inode += 1
        encoded = name.encode() + b"\0"
        fields = (self.inode, mode, 0, 0, 1 + stat.S_ISDIR(mode), 0, len(data), 0, 0,
                  rdev[0], rdev[1], len(encoded), 0)
        header = b"070701" + b"".join(b"%08x" % v for v in fields)
        self.out.write(header + encoded + _pad(len(header) + len(encoded)))
        self.out.write(data + _pad(len(data)))

    def directory(self, name, mode=0o755):
        self._entry(name, stat.S_IFDIR | mode)

    def file(self, name, data, mode=0o644):
        self._entry(name, stat.S_IFREG | mode, data)

    def symlink(self, name, target):
        self._entry(name, stat.S_IFLNK | 0o777, target.encode())

    def char_device(self, name, major, minor, mode=0o600):
        self._entry(name, stat.S_IFCHR | mode, rdev=(major, minor))

    def finish(self):
        self._entry("TRAILER!!!", 0)


def _pad(length):
    return b"\0" * (-length % 4)


def shell_quote(value):
    return "'" + str(value).replace("'", "'\\''") + "'"


def settings_text(settings):
    """The boot's settings as shell assignments, for PID 1 to source."""
    lines = ["# this boot's settings (switch-sim boot --vm)"]
    for name, value in settings.items():
        if not name.isidentifier() or not name.isupper():
            raise ValueError("bad setting name %r" % name)
        lines.append("%s=%s" % (name, shell_quote(value)))
    return "\n".join(lines) + "\n"


def write_initramfs(path, busybox, kernel, settings):
    """Writes the archive to `path`: /init, busybox in /bin (its applets are
    linked by /init), the modules of `kernel` in /lib/modules, the settings."""
    with open(busybox, "rb") as f:
        busybox_data = f.read()
    with open(INIT_SCRIPT, "rb") as f:
        init_data = f.read()
    with open(path, "wb") as out:
        w = CpioWriter(out)
        for d in ("bin", "dev", "etc", "etc/switch-sim", "lib", "lib/modules", "newroot",
                  "proc", "sys", "tmp"):
            w.directory(d)
        # The kernel opens the console for PID 1 before anything is mounted.
        w.char_device("dev/console", CONSOLE_MAJOR, CONSOLE_MINOR)
        w.file("bin/busybox", busybox_data, 0o755)
        w.file("init", init_data, 0o755)
        for name in kernel.modules:
            with open(os.path.join(kernel.modules_dir, name + ".ko"), "rb") as f:
                w.file("lib/modules/%s.ko" % name, f.read())
        w.file(SETTINGS_PATH, settings_text(settings).encode())
        w.finish()
