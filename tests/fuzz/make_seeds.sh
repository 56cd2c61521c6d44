#!/usr/bin/env bash
# Makes the seed corpora of the fuzz targets: images made with slotimg, an
# environment text and a key stream. usage: make_seeds.sh SLOTIMG OUTDIR
set -euo pipefail
slotimg=$1 out=$2 images=$2/fuzz_slotimg
rm -rf "$out"
mkdir -p "$out"/fuzz_{boot_walk,bundle_installer,boot_settings,line_editor,slotimg}
seq 1000 1100 >"$images/p"
img() { "$slotimg" create --version 1.2.3.4 "$images/p" -o "$images/$1" --type "${@:2}" >/dev/null; }
img a application
img d diagnostics --layout 2 --header-length 40
img k kernel --layout 3
img b bootloader --embed-header
cat "$images"/{b,k,d,a} >"$images/all"
cp "$images"/* "$out/fuzz_boot_walk/"
for f in a all; do  # slot 2 given, skip the same version
  printf '\x0b' | cat - "$images/$f" >"$out/fuzz_bundle_installer/$f"
done
echo 'gdb=on gdbserver=on gdbport=2345 shell=on memchk=on diagnostics=rescue' >"$out/fuzz_boot_settings/env"
printf '\x10abc\x01X\x1b[C\x1b[1;5C\x08\x7f\x04\x06\x02\r\x03next\x03' >"$out/fuzz_line_editor/keys"
