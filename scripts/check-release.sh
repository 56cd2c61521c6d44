#!/usr/bin/env bash
# Makes both release artifacts and checks them as a user would get them:
# the slotboot-tools .deb unpacked into a scratch root (dpkg -x) and run from
# there (versions, an image made and verified, a switch made and booted with
# the installed loader), and the switch's tarball (its SHA-256 file, a
# static stripped PowerPC program). Booting needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --workflow --preset release >/dev/null
cmake --workflow --preset switch >/dev/null

fail() { echo "check-release: $*" >&2; exit 1; }
debs=(build/release/slotboot-tools_*_amd64.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb in build/release, found: ${debs[*]}"
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
[ "$deb" = "build/release/slotboot-tools_${version}_amd64.deb" ] || fail "$deb does not carry its version $version"

scratch=$(mktemp -d /tmp/check-release.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root
dpkg -x "$deb" "$root"
bin=$root/usr/bin
# Run from elsewhere, without the checkout's build in the environment: what
# runs is what the package holds.
cd "$scratch"
unset SLOTBOOT_BUILD_DIR
[ "$("$bin/slotimg" --version)" = "slotimg $version" ] || fail "slotimg --version: $("$bin/slotimg" --version)"
[ "$("$bin/switch-sim" --version)" = "switch-sim $version" ] || fail "switch-sim --version: $("$bin/switch-sim" --version)"

# An application image as a user makes one, and a switch that boots it.
app=$scratch/app/home/bin
mkdir -p "$app"
printf '#!/bin/sh\necho "RELEASE CHECK APP"\n' >"$app/mp.elf.strip"
printf '#!/bin/sh\n' >"$app/install.sh"
echo release-check >"$app/distro-id"
echo "CHECK 1" >"$app/env-setup"
chmod 755 "$app/mp.elf.strip" "$app/install.sh"
tar czf app.tar.gz -C "$scratch/app" .
"$bin/switch-sim" new switch
"$bin/slotimg" create --type application --version 1.2.3.4 app.tar.gz -o switch/root/user/images/image1
"$bin/slotimg" verify switch/root/user/images/image1
if [ "$(id -u)" -eq 0 ]; then
  out=$(timeout 120 "$bin/switch-sim" boot switch --time-scale 0 </dev/null 2>&1) || true
  grep -q "RELEASE CHECK APP" <<<"$out" || fail "the installed switch-sim did not boot the image: $out"
else
  echo "check-release: not root, the boot from the installed files is left out"
fi
cd - >/dev/null

tarballs=(build/ppc/slotboot-*-powerpc.tar.gz)
tarball=build/ppc/slotboot-${version}-powerpc.tar.gz
[ "${tarballs[*]}" = "$tarball" ] || fail "expected $tarball, found: ${tarballs[*]}"
tar xzf "$tarball" -C "$scratch"
(cd "$scratch/slotboot-${version}-powerpc" && sha256sum -c --quiet slotboot.sha256) || fail "slotboot.sha256 does not match"
description=$(file -b "$scratch/slotboot-${version}-powerpc/slotboot")
for word in "32-bit MSB" PowerPC "statically linked" ", stripped"; do
  grep -q -- "$word" <<<"$description" || fail "the switch's slotboot is not $word: $description"
done
echo "check-release: $deb and $tarball ($(stat -c %s "$scratch/slotboot-${version}-powerpc/slotboot") bytes stripped) are sound"
