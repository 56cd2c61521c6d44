# Every path of a simulated switch, in one table. A path in the switch's
# directory is relative to that directory; a path in the switch's root is the
# one the loader sees (its root is DIR/root on the host).
import os

IN_DIR, IN_ROOT = "dir", "root"

PATHS = {
    "config": (IN_DIR, "switch.conf"),
    "flash": (IN_DIR, "flash"),                  # one NAME.bin per partition
    "register": (IN_DIR, "slot-register.bin"),   # the boot-slot register chip
    "bus_log": (IN_DIR, "bus.log"),              # the bus traffic of the last boot
    "tftp": (IN_DIR, "tftp"),                    # what the server host serves
    "root": (IN_DIR, "root"),
    "user": (IN_ROOT, "/user"),
    "slots": (IN_ROOT, "/user/images"),
    "loader": (IN_ROOT, "/usr/bin/slotboot-sim"),
    "vm_loader": (IN_ROOT, "/usr/bin/slotboot"),   # the Linux build, in boot --vm
    "qemu": (IN_ROOT, "/usr/bin/qemu-ppc-static"),
    "time": (IN_ROOT, "/usr/libexec/switch-sim/time"),
    "rx": (IN_ROOT, "/usr/bin/rx"),
    "rx_program": (IN_ROOT, "/usr/libexec/lrzsz/rx"),
    "dhclient": (IN_ROOT, "/bin/dhclient"),
    "dhclient_script": (IN_ROOT, "/usr/libexec/switch-sim/udhcpc.script"),
    # The board's files as the loader sees them (bound from the directory),
    # the --time-file, and DIR/root/user while a small /user covers it.
    "sim_flash": (IN_ROOT, "/sim/flash"),
    "sim_register": (IN_ROOT, "/sim/slot-register.bin"),
    "sim_bus_log": (IN_ROOT, "/sim/bus.log"),
    "sim_time": (IN_ROOT, "/sim/time.out"),
    "sim_user": (IN_ROOT, "/sim/user"),
}

# What the loader's board model is given: the file or folder of the switch
# directory, where the loader sees it, the variable that tells the loader.
BOARD_FILES = (
    ("flash", "sim_flash", "SLOTBOOT_SIM_FLASH_DIR"),
    ("register", "sim_register", "SLOTBOOT_SIM_SLOT_REGISTER"),
    ("bus_log", "sim_bus_log", "SLOTBOOT_SIM_BUS_LOG"),
)


def on_host(switch_dir, name):
    """Where a path of the switch in switch_dir is on the host."""
    where, path = PATHS[name]
    if where == IN_ROOT:
        return os.path.join(switch_dir, PATHS["root"][1], path.lstrip("/"))
    return os.path.join(switch_dir, path)


def in_switch(name):
    """Where the switch itself sees a path of its root."""
    where, path = PATHS[name]
    assert where == IN_ROOT, name
    return path


def in_root(root, name):
    """A path of the switch's root below root (DIR/root on the host)."""
    return os.path.join(root, in_switch(name).lstrip("/"))


def flash_partition(switch_dir, name):
    return os.path.join(on_host(switch_dir, "flash"), name + ".bin")
