#!/usr/bin/env bash
# The main job, from a fresh machine: install, build, make a sample bundle
# with slotimg and show what it holds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset host >/dev/null
cmake --build --preset host --target slotimg
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'sample kernel payload\n' >"$work/kernel.bin"
head -c 5000 /dev/urandom >"$work/app.tar.gz"
slotimg=build/host/slotimg
$slotimg create --type kernel --version 1.2.3.4 "$work/kernel.bin" -o "$work/kernel.img"
$slotimg create --type application --version 2.0.0.7 --layout 3 --header-length 32 "$work/app.tar.gz" -o "$work/app.img"
head -c 4096 /dev/zero >"$work/u-boot.bin"
$slotimg create --type bootloader --version 24.4.0.1 --layout 2 --embed-header "$work/u-boot.bin" -o "$work/boot.img"
$slotimg bundle -o "$work/bundle.img" "$work/kernel.img" "$work/app.img" "$work/boot.img"
$slotimg info "$work/bundle.img"
$slotimg verify "$work/bundle.img"
