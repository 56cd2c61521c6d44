#!/usr/bin/env bash
# Installs everything slotboot needs to build and test on Debian 12.
# Run as root; safe to run again.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: run as root (apt-get install needs it)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
packages=(
  # build
  cmake make g++ libgtest-dev googletest zlib1g-dev
  # the switch's processor: cross compiler and user-mode emulator
  g++-powerpc-linux-gnu qemu-user-static
  # the simulated switch: its programs and its peers
  busybox-static lrzsz tftpd-hpa iproute2 util-linux
  # benchmarks: GNU time for the peak RSS
  time
  # system tests
  python3 python3-pytest python3-pexpect
  # fuzz targets: clang with libFuzzer and the sanitizer runtimes
  clang libclang-rt-14-dev
)
apt-get update -q
apt-get install -y -q --no-install-recommends "${packages[@]}"
