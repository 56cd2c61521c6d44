#!/usr/bin/env bash
# Checks that every C++ file of the project is as clang-format (.clang-format)
# leaves it. Exit 1 and the files' names when one is not.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.hpp' '*.h')
if ! clang-format --dry-run -Werror "${files[@]}" 2>/dev/null; then
  echo "check-format: not formatted (clang-format -i FILE):" >&2
  for f in "${files[@]}"; do
    clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || echo "  $f" >&2
  done
  exit 1
fi
echo "check-format: ok (${#files[@]} files)"
