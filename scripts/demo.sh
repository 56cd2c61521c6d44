#!/usr/bin/env bash
# The main job, from a fresh machine: install, build, make a simulated switch
# whose two slots hold a sample application (images made with slotimg), and
# boot it with this terminal as the switch's console. Needs root.
# DEMO_TIME_SCALE=0 removes the board's waits (default 1: real time).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset host >/dev/null
cmake --build --preset host --target slotboot-sim slotimg
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
slotimg=build/host/slotimg
switch_sim=tools/switch-sim/switch-sim

# The sample application: a program that prints a banner and the settings
# its env-setup gave it, the install script, and the compatibility mark.
app=$work/app/home/bin
mkdir -p "$app"
cat >"$app/mp.elf.strip" <<'APP'
#!/bin/sh
echo "=============================================="
echo " Sample switch application is running"
echo " site      : $SITE"
echo " role      : $ROLE"
echo " log level : $LOG_LEVEL"
echo "=============================================="
APP
printf '#!/bin/sh\necho "sample install script: nothing to install"\n' >"$app/install.sh"
printf 'SITE lab-7\nROLE access-switch\nLOG_LEVEL 3\n' >"$app/env-setup"
printf 'sample-distro 1.0\n' >"$app/distro-id"
chmod +x "$app/mp.elf.strip" "$app/install.sh"
tar czf "$work/app.tar.gz" -C "$work/app" .

# A switch with the application in both slots, slot 1 selected.
switch=$work/switch
$switch_sim new "$switch"
images=$switch/root/user/images
$slotimg create --type application --version 1.0.0.1 "$work/app.tar.gz" -o "$images/image1"
$slotimg create --type application --version 1.0.0.1 --layout 3 --header-length 32 \
  "$work/app.tar.gz" -o "$images/image2"

echo "=== booting the simulated switch (console on this terminal)"
$switch_sim boot "$switch" --time-scale "${DEMO_TIME_SCALE:-1}"
