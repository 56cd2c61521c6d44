#!/usr/bin/env bash
# Builds the fuzz targets (preset fuzz: clang, libFuzzer, ASan, UBSan), makes
# their seed corpora with slotimg, and runs each target in turn for SECONDS
# (default 300). Prints the executions of every target; exits 1 when a target
# found a fault (its input is kept under build/fuzz/artifacts/TARGET/).
# usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
build=build/fuzz
cmake --preset fuzz >/dev/null
cmake --build "$build" -j2 --target fuzz-targets
tests/fuzz/make_seeds.sh "$build/slotimg" "$build/seeds"

# target:max_len:dictionary
targets=(
  fuzz_boot_walk:8192:image.dict
  fuzz_bundle_installer:8192:image.dict
  fuzz_boot_settings:1400:boot_settings.dict
  fuzz_line_editor:512:line_editor.dict
  fuzz_slotimg:8192:image.dict
)
status=0
summary=()
for entry in "${targets[@]}"; do
  IFS=: read -r name max_len dict <<<"$entry"
  corpus=$build/corpus/$name
  artifacts=$build/artifacts/$name
  log=$build/logs/$name.log
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  echo "=== $name: ${seconds}s"
  # One process, one job: the machine is shared. The corpus directory keeps
  # what a run found for the next one; the seeds are read, never written.
  if "$build/tests/fuzz/$name" "$corpus" "$build/seeds/$name" \
      -dict="tests/fuzz/$dict" -max_len="$max_len" -max_total_time="$seconds" \
      -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
    grep -E "ERROR|invariant failed|SUMMARY|Test unit written" "$log" | head -20 || true
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -Eo 'cov: [0-9]+' "$log" | tail -1 || true)
  summary+=("$(printf '%-24s %-7s %12s executions  %s' "$name" "$result" "${execs:-?}" "$cov")")
done
echo "=== fuzz summary (${seconds}s per target)"
printf '%s\n' "${summary[@]}"
failed=$(printf '%s\n' "${summary[@]}" | grep -c ' FAILED ' || true)
echo "fuzz: $(( ${#targets[@]} - failed )) passed, $failed failed"
exit $status
