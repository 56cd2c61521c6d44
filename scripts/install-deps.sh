#!/usr/bin/env bash
# Installs everything slotboot needs to build and test on Debian 12.
# Safe to run again: when every package is installed already it only says so.
# Installing needs root.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
packages=(
  # build, and the format check
  cmake make g++ libgtest-dev googletest zlib1g-dev clang-format
  # the slotboot-tools package: dpkg-shlibdeps, and file to find the programs
  dpkg-dev file
  # the switch's processor: cross compiler and user-mode emulator
  g++-powerpc-linux-gnu qemu-user-static
  # the simulated switch: its programs and its peers
  busybox-static lrzsz tftpd-hpa iproute2 util-linux
  # switch-sim boot --vm: the machine (its kernel comes from Debian's
  # linux-image-amd64, fetched by the first boot with apt-get download)
  qemu-system-x86
  # benchmarks: GNU time for the peak RSS
  time
  # system tests
  python3 python3-pytest python3-pexpect
  # fuzz targets: clang with libFuzzer and the sanitizer runtimes
  clang libclang-rt-14-dev
)
missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null || true)
  [ "${status:0:2}" = "ii" ] || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages are installed"
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: run as root (apt-get install needs it)" >&2
  exit 1
fi
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
