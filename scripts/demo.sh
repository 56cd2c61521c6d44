#!/usr/bin/env bash
# The main job, from a fresh machine: install, build, make a simulated switch
# whose two slots hold a sample application (images made with slotimg), and
# boot it with this terminal as the switch's console. Needs root.
#
#   bash scripts/demo.sh          boot the switch (made on the first run, kept)
#   bash scripts/demo.sh rescue   boot it into Rescue Mode, cabled to a TFTP
#                                 server that offers a newer sample application
#
# DEMO_TIME_SCALE=0 removes the board's waits (default 1: real time).
# DEMO_DIR is where the switch is kept (default build/demo).
# With SLOTBOOT_BUILD_DIR set, that build is used as it is: nothing is
# installed or built.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-boot}
case $mode in
  boot|rescue) ;;
  *) echo "usage: bash scripts/demo.sh [rescue]" >&2; exit 2 ;;
esac
if [ -z "${SLOTBOOT_BUILD_DIR:-}" ]; then
  bash scripts/install-deps.sh
  cmake --preset host >/dev/null
  cmake --build --preset host --target slotboot-sim slotimg
  export SLOTBOOT_BUILD_DIR=$PWD/build/host
fi
slotimg=$SLOTBOOT_BUILD_DIR/slotimg
switch_sim=tools/switch-sim/switch-sim
demo=$(realpath -m "${DEMO_DIR:-build/demo}")
switch=$demo/switch
bundle_name=sample-app-2.0.bundle
again="bash scripts/demo.sh"
[ -n "${DEMO_DIR:-}" ] && again="DEMO_DIR=$demo $again"

# The sample application VERSION as an image OUT: a program that prints a
# banner and the settings its env-setup gave it, the install script, and the
# compatibility mark, in a gzip-compressed tar archive.
make_app_image() {
  local version=$1 out=$2 tree
  shift 2
  tree=$(mktemp -d)
  mkdir -p "$tree/home/bin"
  cat >"$tree/home/bin/mp.elf.strip" <<APP
#!/bin/sh
echo "=============================================="
echo " Sample switch application $version is running"
echo " site      : \$SITE"
echo " role      : \$ROLE"
echo " log level : \$LOG_LEVEL"
echo "=============================================="
APP
  printf '#!/bin/sh\necho "sample install script: nothing to install"\n' >"$tree/home/bin/install.sh"
  printf 'SITE lab-7\nROLE access-switch\nLOG_LEVEL 3\n' >"$tree/home/bin/env-setup"
  printf 'sample-distro 1.0\n' >"$tree/home/bin/distro-id"
  chmod +x "$tree/home/bin/mp.elf.strip" "$tree/home/bin/install.sh"
  tar czf "$tree.tar.gz" -C "$tree" .
  $slotimg create --type application --version "$version.0.1" "$@" "$tree.tar.gz" -o "$out" >/dev/null
  rm -rf "$tree" "$tree.tar.gz"
}

# The switch, made once: the application 1.0 in both slots (two header
# layouts), slot 1 selected.
if [ ! -d "$switch" ]; then
  mkdir -p "$demo"
  $switch_sim new "$switch"
  make_app_image 1.0 "$switch/root/user/images/image1"
  make_app_image 1.0 "$switch/root/user/images/image2" --layout 3 --header-length 32
fi

if [ "$mode" = rescue ]; then
  # The newer application on the TFTP server, as a bundle.
  make_app_image 2.0 "$demo/app-2.0.img"
  $slotimg bundle --strict -o "$switch/tftp/$bundle_name" "$demo/app-2.0.img" >/dev/null
  chmod 644 "$switch/tftp/$bundle_name"
  echo "=== the TFTP server offers $bundle_name; what the switch will do with it:"
  $slotimg plan "$switch/tftp/$bundle_name" --switch "$switch"
  $switch_sim setenv "$switch" diagnostics=rescue
  echo "=== booting the switch into Rescue Mode (console on this terminal). At its menu:"
  echo "  key:       T (Configure networking and tftp download an image)"
  echo "  file name: $bundle_name"
  echo "  answers:   IP addr 192.0.2.5, Netmask 255.255.255.0, Gateway Enter, Server addr 192.0.2.1; 2 at \"Install image as image 1 or 2\"; then R (Reboot)"
  status=0
  $switch_sim boot "$switch" --net --time-scale "${DEMO_TIME_SCALE:-1}" || status=$?
  $switch_sim setenv "$switch"
  echo "=== the switch is kept in $switch"
  echo "  boot the slot you installed: $again"
  exit $status
fi

$switch_sim setenv "$switch"
echo "=== booting the simulated switch (console on this terminal)"
status=0
$switch_sim boot "$switch" --time-scale "${DEMO_TIME_SCALE:-1}" || status=$?
echo "=== the switch is kept in $switch"
echo "  boot it again:      $again"
echo "  reach Rescue Mode:  $again rescue"
echo "                      (by hand: $switch_sim setenv $switch diagnostics=rescue"
echo "                       then $switch_sim boot $switch --net)"
exit $status
