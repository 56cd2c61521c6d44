#!/usr/bin/env bash
# Makes the seed corpora of the fuzz targets: image files and bundles built
# with slotimg, environment texts and key streams.
# usage: make_seeds.sh SLOTIMG OUTDIR   (OUTDIR/<target>/ gets the seeds)
set -euo pipefail
slotimg=$1
out=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out"
mkdir -p "$out"/{fuzz_boot_walk,fuzz_bundle_installer,fuzz_boot_settings,fuzz_line_editor,fuzz_slotimg}

# Payloads: a few sizes, none of them all 0xFF (erased flash).
payload() {  # payload SIZE SEED > FILE: printable bytes that differ by seed
  awk -v n="$1" -v seed="$2" 'BEGIN { for (i = 0; i < n; i++) printf "%c", 33 + (i * 7 + seed) % 90 }'
}
payload 40 1 >"$work/p40"
payload 300 2 >"$work/p300"
payload 2000 3 >"$work/p2000"

img() {  # img NAME TYPE PAYLOAD [create options...]
  local name=$1 type=$2 payload=$3
  shift 3
  "$slotimg" create --type "$type" --version 1.2.3.4 "$@" "$work/$payload" -o "$work/$name.img" >/dev/null
}
img app1 application p300
img app2 application p40 --layout 2 --header-length 40
img app3 application p2000 --layout 3 --header-length 32
img diag diagnostics p300 --layout 2
img kern kernel p2000
img rfs rootfs p300 --layout 3
img dtb devicetree p40
img boot bootloader p300 --embed-header
img boot2 bootloader p300 --layout 2 --header-length 64
img odd 0x1234 p40

bundle() {  # bundle NAME IMAGES...
  local name=$1
  shift
  local files=()
  for i in "$@"; do files+=("$work/$i.img"); done
  "$slotimg" bundle -o "$work/$name.bin" "${files[@]}" >/dev/null
}
bundle one_app app1
bundle app_l2 app2
bundle app_l3 app3
bundle kern_app kern app1
bundle everything boot dtb kern rfs diag app2
bundle odd_app odd app3
bundle two_apps app1 app2
bundle diag_first diag app1
bundle twice app1 kern boot app1 kern boot

for f in "$work"/*.bin; do
  base=$(basename "$f" .bin)
  cp "$f" "$out/fuzz_boot_walk/$base"
  cp "$f" "$out/fuzz_slotimg/$base"
  # The installer's first byte picks the slot answer (1 or 2, asked or
  # given) and the same-version test.
  for answer in '\x00' '\x01' '\x03' '\x08' '\x0b'; do
    { printf "$answer"; cat "$f"; } >"$out/fuzz_bundle_installer/${base}_$(printf "$answer" | od -An -tx1 | tr -d ' ')"
  done
done
# Damaged files: a bad crc word, cut short, trailing bytes.
{ printf '\x00\x00\x00\x00'; tail -c +5 "$work/one_app.bin"; } >"$out/fuzz_boot_walk/badcrc"
head -c 200 "$work/one_app.bin" >"$out/fuzz_boot_walk/short"
{ cat "$work/kern_app.bin"; printf 'trailing bytes here, fewer than none'; } >"$out/fuzz_slotimg/trailing"
cp "$out/fuzz_boot_walk/badcrc" "$out/fuzz_slotimg/badcrc"
{ printf '\x01'; cat "$out/fuzz_boot_walk/badcrc"; } >"$out/fuzz_bundle_installer/badcrc"

# Environment areas: NUL-separated variables after a control byte.
env_seed() {  # env_seed NAME CONTROL VARIABLES...
  local name=$1 control=$2
  shift 2
  { printf "$control"; for v in "$@"; do printf '%s\0' "$v"; done; } >"$out/fuzz_boot_settings/$name"
}
env_seed plain '\x00' bootcmd=run boot baudrate=115200 gdb=on gdbport=2345 shell=on
env_seed server '\x01' gdb=off gdbserver=on gdbport=-12 memchk=onion diagnostics=rescue
env_seed diags '\x22' kgdb=on diagnostics=diags gdbport=99999999999 shell=ON
env_seed empty '\x40'
env_seed small '\x60' gdb=on

# Key streams: a size byte, then keys.
printf '\x10abc\x01X\x1b[C\x1b[1;5C\x08\x7f\x04\x06\x02\r' >"$out/fuzz_line_editor/edit"
printf '\x03abcdefgh\x1b[A\x1bx\x1b\x7fz\x03next\n' >"$out/fuzz_line_editor/full"
printf '\xf5192.168.1.10\r10.0.0.1\n\xe9\x1bOA\x00\x05' >"$out/fuzz_line_editor/address"
