#!/usr/bin/env bash
# Runs every built fuzzer for a short time (FUZZ_SECONDS each, default 30),
# starting from its seeds in the tree if it has any;
# a crash shows the fuzzer's report and fails the run.
set -uo pipefail
build=${1:-build-fuzz}
seconds=${FUZZ_SECONDS:-30}
shopt -s nullglob
found=0
failed=0
for fuzzer in "$build"/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  found=1
  name=$(basename "$fuzzer")
  corpus="$build/corpus/$name"
  log="$build/$name.log"
  mkdir -p "$corpus"
  # Seeds kept in the tree (tests/fuzz/seeds/NAME) are read, never written.
  seeds=()
  [ -d "$(dirname "$0")/seeds/$name" ] && seeds+=("$(dirname "$0")/seeds/$name")
  if "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 "$corpus" "${seeds[@]}" >"$log" 2>&1; then
    echo "$name: $(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}') runs in ${seconds}s, no findings"
  else
    echo "$name FAILED:"
    tail -60 "$log"
    failed=1
  fi
done
[ $found -eq 1 ] || { echo "no fuzzers built"; exit 1; }
exit $failed
