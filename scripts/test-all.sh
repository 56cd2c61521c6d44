#!/usr/bin/env bash
# Installs what is missing, checks the include layers, function lengths and format,
# builds every preset and runs every test:
# host (unit + system, part of the system tests again from a folder with spaces
# in its path, and the system rows on the Linux loader in a virtual machine),
# asan (unit + system), ppc (unit under qemu-user, then the
# system tests again with the PowerPC loader), the release artifacts, then
# every fuzz target for a short bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
status=0
echo "=== layers: includes point down, no folder circle, no function over 60 lines, formatted"
bash scripts/check-layers.sh || status=1
bash scripts/check-function-length.sh || status=1
bash scripts/check-format.sh || status=1
for preset in host asan ppc; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: test"
  ctest --preset "$preset" || status=1
done
echo "=== host: system tests from a copy in a folder only root may enter, whose path holds spaces"
elsewhere=$(mktemp -d "/tmp/slot boot.XXXXXX")   # mode 0700, as a home folder
tar -C . --exclude=./build --exclude=./.git -cf - . | tar -C "$elsewhere" -xf -
SLOTBOOT_BUILD_DIR="$PWD/build/host" /usr/bin/python3 -m pytest -q -p no:cacheprovider \
  --basetemp "$elsewhere/test runs" "$elsewhere/tests/system/test_switch_sim.py" \
  "$elsewhere/tests/system/test_xmodem_install.py" || status=1
rm -rf "$elsewhere"
echo "=== vm: the system rows that boot the host build's slotboot in a qemu machine"
SLOTBOOT_BUILD_DIR="$PWD/build/host" /usr/bin/python3 -m pytest -q -p no:cacheprovider -m vm \
  tests/system || status=1
echo "=== asan: system tests with the sanitizer build of the loader and slotimg"
SLOTBOOT_BUILD_DIR="$PWD/build/asan" ASAN_OPTIONS=abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/system || status=1
echo "=== ppc: system tests with the PowerPC loader under qemu-user"
SLOTBOOT_SYSTEM_ARCH=ppc SLOTBOOT_BUILD_DIR="$PWD/build/host" SLOTBOOT_PPC_BUILD_DIR="$PWD/build/ppc" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/system || status=1
echo "=== release: the slotboot-tools .deb and the switch's tarball, checked as installed"
bash scripts/check-release.sh || status=1
echo "=== fuzz: each target for 20 s"
bash scripts/fuzz.sh 20 || status=1
exit $status
