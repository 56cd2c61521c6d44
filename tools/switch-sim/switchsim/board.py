# The switch directory: its flash partition files, the boot-slot register file,
# its configuration, and the boot loader environment written into the flash.
import os
import struct
import zlib

from . import paths
from .util import SimError

# Partition name -> the largest content the installer puts there: the boot
# loader's payload, the whole sub-image for the others; the environment needs
# its checksum word plus the 1280 bytes the loader scans.
PARTITION_CONTENT = (
    ("uboot", 524288),
    ("ubootenv", 4 + 1280),
    ("devicetree", 262144),
    ("kernel", 3145728),
    ("rfs", 15728640),
    ("rescue", 10485760),
)
DEFAULT_ERASE_SIZE = 65536
REGISTER_SIZE = 256
REG_SELECTED = 0
REG_BOOTED = 0x3A


class BoardError(SimError):
    """A switch directory that cannot be made or used."""


def round_up(value, unit):
    return (value + unit - 1) // unit * unit


def partition_sizes(erase_size):
    return [(name, round_up(size, erase_size)) for name, size in PARTITION_CONTENT]


def _write_erased(path, size):
    block = b"\xff" * 65536
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, len(block))
            f.write(block[:n])
            left -= n


def create_switch(switch_dir, erase_size=DEFAULT_ERASE_SIZE):
    """Makes a new switch in switch_dir, which must be missing or empty."""
    if erase_size <= 0 or erase_size & (erase_size - 1):
        raise BoardError("erase size must be a power of two, not %d" % erase_size)
    if os.path.exists(switch_dir):
        if not os.path.isdir(switch_dir):
            raise BoardError("%s exists and is not a directory" % switch_dir)
        if os.listdir(switch_dir):
            raise BoardError("%s is not empty" % switch_dir)
    os.makedirs(paths.on_host(switch_dir, "flash"), exist_ok=True)
    for name, size in partition_sizes(erase_size):
        _write_erased(paths.flash_partition(switch_dir, name), size)
    registers = bytearray(REGISTER_SIZE)
    registers[REG_SELECTED] = 1
    with open(paths.on_host(switch_dir, "register"), "wb") as f:
        f.write(registers)
    os.makedirs(paths.on_host(switch_dir, "slots"))
    os.makedirs(paths.on_host(switch_dir, "tftp"))
    with open(paths.on_host(switch_dir, "config"), "w") as f:
        f.write("# switch-sim switch\nerase_size=%d\n" % erase_size)


def read_config(switch_dir):
    """The switch's settings as a dict; raises BoardError for a non-switch."""
    path = paths.on_host(switch_dir, "config")
    try:
        with open(path) as f:
            lines = f.read().splitlines()
    except OSError:
        raise BoardError("%s is not a switch (no %s; make one with 'switch-sim new')"
                         % (switch_dir, os.path.basename(path)))
    config = {"erase_size": DEFAULT_ERASE_SIZE}
    for line in lines:
        line = line.strip()
        if not line or line.startswith("#") or "=" not in line:
            continue
        key, value = line.split("=", 1)
        if key == "erase_size":
            try:
                config["erase_size"] = int(value)
            except ValueError:
                raise BoardError("%s: bad erase_size %r" % (path, value))
    for name, _ in PARTITION_CONTENT:
        if not os.path.isfile(paths.flash_partition(switch_dir, name)):
            raise BoardError("%s is missing" % paths.flash_partition(switch_dir, name))
    return config


def encode_environment(variables, size):
    """The image of a boot loader environment partition of `size` bytes: the
    CRC-32 of the data area (big-endian, the board's byte order), then each
    NAME=VALUE followed by a NUL, one more NUL, and zeros to the end."""
    data = b"".join(v + b"\0" for v in variables) + b"\0"
    if 4 + len(data) > size:
        raise BoardError("environment of %d bytes does not fit in %d bytes"
                         % (len(data), size - 4))
    area = data + bytes(size - 4 - len(data))
    return struct.pack(">I", zlib.crc32(area)) + area


def parse_assignment(text):
    """NAME=VALUE as bytes; raises BoardError when it is not one."""
    raw = os.fsencode(text)
    name, sep, _ = raw.partition(b"=")
    if not sep or not name:
        raise BoardError("not NAME=VALUE: %r" % text)
    if b"\0" in raw:
        raise BoardError("NUL byte in %r" % text)
    return raw


def set_environment(switch_dir, assignments):
    """Replaces the environment with exactly these NAME=VALUE texts, in order."""
    read_config(switch_dir)
    path = paths.flash_partition(switch_dir, "ubootenv")
    size = os.path.getsize(path)
    image = encode_environment([parse_assignment(a) for a in assignments], size)
    with open(path, "r+b") as f:
        f.write(image)
