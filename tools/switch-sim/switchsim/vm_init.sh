#!/bin/busybox sh
# PID 1 of the switch's virtual machine. It loads the drivers, makes the
# switch's devices (flash partitions as MTD devices over the host's partition
# files, the two I2C buses with the boot-slot register, the console on the
# first UART), mounts the switch's root from the host and runs the loader
# there, as the switch's own start-up does. A reboot request (busybox's
# reboot, halt and poweroff signal PID 1) or the loader's end stops the
# machine, after the boot-slot register has gone back to the host.
#
# The host listens on the second UART (the control line): lines
# "switch-sim ready", "switch-sim register <256 hex bytes>",
# "switch-sim status <loader's exit status>", "switch-sim failed <why>", and
# the kernel's trace of the SMBus transfers on bus 0: the host applies the
# writes to the boot-slot device to DIR/slot-register.bin at once, and logs
# every transfer in DIR/bus.log.
/bin/busybox --install -s /bin
export PATH=/bin
. /etc/switch-sim/boot.conf

CONTROL=/dev/ttyS1
NEWROOT=/newroot
SLOT_DEVICE=0x54
STUB_NAME="SMBus stub driver"
GRACE_SECONDS=1

say() { echo "switch-sim $*" > $CONTROL; }
stop_machine() {
  sync
  reboot -f
  sleep 60   # reboot -f does not return; nothing is left to run if it did
}
fail() {
  say "failed $*"
  stop_machine
}

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
stty -F $CONTROL raw -echo
# Flash writes land in the block devices' page cache: write them out at once
# and hold the writer while they go, so that flash writes take the drives'
# time, as on the switch, and a killed machine leaves its partition files as
# far as it got.
echo 1 > /proc/sys/vm/dirty_writeback_centisecs
echo 1 > /proc/sys/vm/dirty_expire_centisecs
echo 8192 > /proc/sys/vm/dirty_bytes

for m in $MODULES; do
  case $m in
    i2c-stub) insmod /lib/modules/$m.ko chip_addr=0x71,0x4f,$SLOT_DEVICE ;;
    e1000) [ "$NET" = none ] || insmod /lib/modules/$m.ko ;;
    *) insmod /lib/modules/$m.ko ;;
  esac || fail "insmod $m"
done

# ---- the switch's root, as the host's folder DIR/root
SHARE=trans=virtio,version=9p2000.L,msize=262144
# The system part is read through the page cache; /user is written through.
mount -t 9p -o $SHARE,cache=mmap root $NEWROOT || fail "mount of the switch's root"
mount -t 9p -o $SHARE,ro,cache=mmap usrlib $NEWROOT/usr/lib || fail "mount of /usr/lib"
mount -t 9p -o $SHARE,ro,cache=mmap usrlib64 $NEWROOT/usr/lib64 || fail "mount of /usr/lib64"
if [ -n "$USER_SIZE" ]; then
  # A small /user: a tmpfs seeded from DIR/root/user, copied back at the end.
  mount -t 9p -o $SHARE user $NEWROOT/sim/user &&
    mount -t tmpfs -o size=$USER_SIZE tmpfs $NEWROOT/user &&
    cp -a $NEWROOT/sim/user/. $NEWROOT/user/ || fail "a /user of $USER_SIZE bytes"
else
  mount -t 9p -o $SHARE user $NEWROOT/user || fail "mount of /user"
fi
mount -t tmpfs -o mode=1777 tmpfs $NEWROOT/tmp
mount -t proc proc $NEWROOT/proc
mount -t tmpfs -o mode=755 tmpfs $NEWROOT/dev

DEV=$NEWROOT/dev
node() {   # node NAME SYSFS-FOLDER: a character device like the kernel's
  IFS=: read major minor < "$2/dev" && mknod -m 600 "$DEV/$1" c "$major" "$minor" ||
    fail "device $1"
}
node null /sys/class/mem/null; node zero /sys/class/mem/zero
node random /sys/class/mem/random; node urandom /sys/class/mem/urandom
node tty /sys/class/tty/tty
node ttyS0 /sys/class/tty/ttyS0
node console /sys/class/tty/ttyS0
chmod 666 $DEV/null $DEV/zero $DEV/random $DEV/urandom $DEV/tty
ln -s /proc/self/fd $DEV/fd
ln -s /proc/self/fd/0 $DEV/stdin
ln -s /proc/self/fd/1 $DEV/stdout
ln -s /proc/self/fd/2 $DEV/stderr

# ---- flash: each partition file is a virtio drive whose serial is its name
for block in /sys/block/vd*; do
  name=$(cat $block/serial)
  echo "/dev/${block##*/},$ERASE_SIZE,$name" > /sys/module/block2mtd/parameters/block2mtd ||
    fail "block2mtd on $name"
done
for mtd in /sys/class/mtd/mtd*; do
  case $mtd in *ro) continue ;; esac
  node "mtd-$(cat $mtd/name)" $mtd
done
for name in $PARTITIONS; do
  [ -c $DEV/mtd-$name ] || fail "no MTD device for $name"
done

# ---- I2C: bus 0 is the stub with the three devices, bus 1 the board's SMBus
stub= other=
for adapter in /sys/class/i2c-adapter/i2c-*; do
  if [ "$(cat $adapter/name)" = "$STUB_NAME" ]; then
    stub=${adapter##*-}
  else
    other=${adapter##*-}
  fi
done
[ -n "$stub" ] && [ -n "$other" ] || fail "I2C adapters: stub '$stub', other '$other'"
node i2c-0 /sys/class/i2c-dev/i2c-$stub
node i2c-1 /sys/class/i2c-dev/i2c-$other
# The register's bytes, 32 at a time (I2C block writes).
set -- $REGISTER
at=0
while [ $# -gt 0 ]; do
  chunk=
  while [ $# -gt 0 ] && [ ${#chunk} -lt 160 ]; do chunk="$chunk 0x$1"; shift; done
  i2cset -y $stub $SLOT_DEVICE $(printf 0x%02x $at) $chunk i ||
    fail "loading the boot-slot register"
  at=$((at + 32))
done
TRACE=/sys/kernel/tracing
mount -t tracefs tracefs $TRACE || fail "tracefs"
for event in smbus_write smbus_reply; do
  echo "adapter_nr == $stub" > $TRACE/events/smbus/$event/filter
  echo 1 > $TRACE/events/smbus/$event/enable
done
cat $TRACE/trace_pipe > $CONTROL &

save_register() {   # its 256 bytes from i2cdump's rows "00: 01 00 ...  ascii"
  set -- $(i2cdump -y $stub $SLOT_DEVICE b |
           sed -n 's/^[0-9a-f]0: \(\([0-9a-fX]\{2\} \)\{16\}\).*/\1/p')
  [ $# -eq 256 ] && say "register $*"
}

# ---- network: the management port, cabled to the server host by the host
if [ "$NET" != none ]; then
  ip link set lo up
fi

# ---- the loader, on the console, with the console as its controlling terminal
requested=
request() {
  [ -n "$requested" ] && return
  requested=$1
  echo "[switch-sim] $1" > $DEV/console
  # The loader ends by itself right after its reboot command; anything else
  # (a shell the operator started, say) is ended after a moment.
  (sleep $GRACE_SECONDS; kill -ALRM 1) &
}
trap 'request reboot' TERM
trap 'request halt' USR1
trap 'request poweroff' USR2
trap 'expired=1' ALRM

say ready
env -i PATH=/bin:/usr/bin HOME=/ TERM="$TERM" \
  setsid -c chroot $NEWROOT /usr/bin/slotboot <> $DEV/ttyS0 >&0 2>&0 &
loader=$!
status= expired=
while [ -z "$status" ]; do
  wait $loader
  code=$?
  if ! kill -0 $loader 2> /dev/null; then
    status=$code
  elif [ -n "$expired" ]; then
    status=0   # the switch restarted all the same
  fi
done

echo 0 > $TRACE/tracing_on   # the dump below is no traffic of the switch
kill -KILL -1 2> /dev/null
save_register
if [ -n "$USER_SIZE" ]; then
  rm -rf $NEWROOT/sim/user/* $NEWROOT/sim/user/.[!.]* $NEWROOT/sim/user/..?* 2> /dev/null
  cp -a $NEWROOT/user/. $NEWROOT/sim/user/ || say "failed copying /user back"
fi
sync
say "status $status"
stop_machine
