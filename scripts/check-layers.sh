#!/usr/bin/env bash
# Checks that the folders of src/ include each other only downwards:
#
#   main.cpp  ->  boot/  ->  rescue/  ->  net/  ->  image/  ->  platform/  ->  console/
#
# A folder may include itself and any folder to its right, nothing else (see
# ALLOWED). Then checks that the include graph between folders has no circle,
# whatever the table says. Prints each offending include; exit 1 when any.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A ALLOWED=(
  [main]="boot"
  [boot]="rescue net image platform console"
  [rescue]="net image platform console"
  [net]="platform console"
  [image]="platform console"
  [platform]="console"
  [console]=""
)

folder_of() {  # src/boot/x.cpp -> boot; src/platform/sim/y.cpp -> platform; src/main.cpp -> main
  local rest=${1#src/}
  case $rest in */*) echo "${rest%%/*}" ;; *) echo main ;; esac
}

status=0
edges=$(mktemp)
trap 'rm -f "$edges"' EXIT
while IFS=: read -r file _ line; do
  target=$(sed -n 's/^#include "\([a-z_]*\)\/.*/\1/p' <<<"$line")
  [[ -n $target ]] || continue
  from=$(folder_of "$file")
  [[ $target == "$from" ]] && continue
  echo "$from $target" >>"$edges"
  if [[ -z ${ALLOWED[$from]+set} ]]; then
    echo "check-layers: $file: folder '$from' is not in the table"; status=1
  elif [[ " ${ALLOWED[$from]} " != *" $target "* ]]; then
    echo "check-layers: $file includes $target/ ($line)"; status=1
  fi
done < <(grep -rn '^#include "' src --include='*.cpp' --include='*.hpp')

# tsort fails on a circle and names the folders on it.
if ! sort -u "$edges" | tsort >/dev/null 2>"$edges.err"; then
  echo "check-layers: include circle between folders:"; sed 's/^/  /' "$edges.err"; status=1
fi
rm -f "$edges.err"
[[ $status == 0 ]] && echo "check-layers: ok"
exit $status
