# The virtual machine's kernel and modules: Debian's kernel package, fetched
# once with apt-get download, unpacked with dpkg-deb and cut down to the
# kernel image and the modules the switch needs. Kept in the cache folder
# (build/vm), so that a later boot fetches nothing.
import fcntl
import lzma
import os
import shutil
import subprocess
import tempfile

KERNEL_PACKAGE = "linux-image-amd64"   # depends on the current kernel's package
# The drivers the switch's machine loads, in the order it loads them; their
# own dependencies are added in front.
MODULES = (
    "virtio_pci", "virtio_blk", "9pnet_virtio", "9p",   # flash drives, shared folders
    "mtd", "block2mtd",                                  # flash as MTD devices
    "i2c-dev", "i2c-stub", "i2c-piix4",                  # the two I2C buses
    "e1000",                                             # the management port
)
READY = "READY"
XZ_MAGIC = b"\xfd7zXZ\x00"


class AssetError(Exception):
    pass


def _run(argv, cwd=None):
    r = subprocess.run(argv, cwd=cwd, capture_output=True, text=True)
    if r.returncode != 0:
        raise AssetError("%s: %s" % (" ".join(argv), (r.stderr or r.stdout).strip()))
    return r.stdout


def kernel_package():
    """The versioned kernel package that the meta package depends on; the
    package lists are fetched once when they do not know it."""
    for attempt in (1, 2):
        r = subprocess.run(["apt-cache", "depends", KERNEL_PACKAGE], capture_output=True,
                           text=True)
        for line in r.stdout.splitlines() if r.returncode == 0 else []:
            key, _, value = line.strip().partition(": ")
            if key == "Depends" and value.startswith("linux-image-"):
                return value.strip()
        if attempt == 1:
            _run(["apt-get", "update", "-q"])
    raise AssetError("apt-cache knows no %s, even after apt-get update" % KERNEL_PACKAGE)


def module_dependencies(path):
    """The names in the depends= field of a kernel module's .modinfo."""
    with open(path, "rb") as f:
        data = f.read()
    at = data.find(b"\0depends=")
    if at < 0:
        return []
    end = data.find(b"\0", at + 1)
    field = data[at + len(b"\0depends="):end].decode()
    return [n for n in field.split(",") if n]


def module_index(tree):
    """Module name (as modprobe spells it, with '-' or '_') -> path of its .ko."""
    index = {}
    for base, _dirs, files in os.walk(tree):
        for name in files:
            if name.endswith(".ko"):
                index[name[:-3]] = os.path.join(base, name)
    return index


def load_order(index, wanted):
    """Every module of `wanted` with its dependencies, each after what it needs."""
    order, seen = [], set()

    def find(name):
        for candidate in (name, name.replace("-", "_"), name.replace("_", "-")):
            if candidate in index:
                return candidate
        raise AssetError("the kernel package has no module %s" % name)

    def visit(name, path):
        name = find(name)
        if name in order:
            return
        if name in seen:
            raise AssetError("module dependency loop at %s: %s" % (name, " ".join(path)))
        seen.add(name)
        for dep in module_dependencies(index[name]):
            visit(dep, path + [name])
        order.append(name)

    for name in wanted:
        visit(name, [])
    return order


def unpacked_kernel(bzimage):
    """The ELF kernel inside a bzImage whose payload is xz-compressed, or None.
    qemu starts that one directly (PVH entry), without the decompressor,
    which takes most of the boot's time on an emulated processor."""
    with open(bzimage, "rb") as f:
        data = f.read()
    at = data.find(XZ_MAGIC)
    if at < 0:
        return None
    try:
        elf = lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(data[at:])
    except lzma.LZMAError:
        return None
    return elf if elf[:4] == b"\x7fELF" else None


class Kernel:
    """A cached kernel: its image, its modules folder and their load order."""

    def __init__(self, folder):
        self.folder = folder
        self.image = os.path.join(folder, "vmlinux")
        if not os.path.isfile(self.image):
            self.image = os.path.join(folder, "vmlinuz")
        self.modules_dir = os.path.join(folder, "modules")
        with open(os.path.join(folder, READY)) as f:
            lines = f.read().split()
        self.version, self.modules = lines[0], lines[1:]


def ensure_kernel(cache):
    """The cached kernel in `cache`, fetched first when missing."""
    os.makedirs(cache, exist_ok=True)
    folder = os.path.join(cache, "kernel")
    with open(os.path.join(cache, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)   # two boots at once fetch once
        if not os.path.isfile(os.path.join(folder, READY)):
            _fetch(folder)
    return Kernel(folder)


def _fetch(folder):
    for tool in ("apt-get", "apt-cache", "dpkg-deb"):
        if shutil.which(tool) is None:
            raise AssetError("%s not found: the virtual machine's kernel comes from "
                             "Debian's package" % tool)
    package = kernel_package()
    work = tempfile.mkdtemp(prefix="switch-sim-kernel.", dir=os.path.dirname(folder))
    try:
        _run(["apt-get", "download", "-q", package], cwd=work)
        debs = [n for n in os.listdir(work) if n.endswith(".deb")]
        if len(debs) != 1:
            raise AssetError("apt-get download %s left %d packages" % (package, len(debs)))
        tree = os.path.join(work, "tree")
        _run(["dpkg-deb", "-x", os.path.join(work, debs[0]), tree])
        images = [n for n in os.listdir(os.path.join(tree, "boot")) if n.startswith("vmlinuz-")]
        if len(images) != 1:
            raise AssetError("%s holds %d kernel images" % (package, len(images)))
        version = images[0][len("vmlinuz-"):]
        index = module_index(os.path.join(tree, "lib", "modules", version))
        order = load_order(index, MODULES)

        staged = os.path.join(work, "kernel")
        os.makedirs(os.path.join(staged, "modules"))
        bzimage = os.path.join(tree, "boot", images[0])
        elf = unpacked_kernel(bzimage)
        if elf is None:
            shutil.copyfile(bzimage, os.path.join(staged, "vmlinuz"))
        else:
            with open(os.path.join(staged, "vmlinux"), "wb") as f:
                f.write(elf)
        for name in order:
            shutil.copyfile(index[name], os.path.join(staged, "modules", name + ".ko"))
        with open(os.path.join(staged, READY), "w") as f:
            f.write("%s\n%s\n" % (version, "\n".join(order)))
        if os.path.isdir(folder):
            shutil.rmtree(folder)
        os.rename(staged, folder)
    finally:
        shutil.rmtree(work, ignore_errors=True)
