#!/usr/bin/env bash
# Lists every function in src/ longer than MAX lines (default 60). A function
# here is a body opened at the end of a line starting in column 0 (the house
# style puts definitions there, namespaces unindented), or at the end of an
# indented line that goes on such a signature, and closed by a lone "}" in
# column 0; its length counts from the first line of its signature.
# Exit 1 when any is too long.
set -euo pipefail
cd "$(dirname "$0")/.."
MAX=${1:-60}

find src -name '*.cpp' | sort | xargs awk -v max="$MAX" '
  FNR == 1 { open = 0 }
  !open && /^[A-Za-z].*\)( const)?( noexcept)? \{$/ && !/^(namespace|struct|class|enum|union|extern)/ {
    open = FNR; name = $0; next
  }
  !open && /^[A-Za-z]/ { signature = $0; signature_line = FNR }
  !open && /^ .*\)( const)?( noexcept)? \{$/ && signature != "" {
    open = signature_line; name = signature; next
  }
  open && /^}$/ {
    length_ = FNR - open + 1
    if (length_ > max) { printf "%s:%d: %d lines: %s\n", FILENAME, open, length_, name; bad = 1 }
    open = 0; signature = ""
  }
  END { exit bad }
' && echo "check-function-length: ok (none over $MAX lines)"
