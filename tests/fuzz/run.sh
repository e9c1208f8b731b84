#!/usr/bin/env bash
# Runs every built fuzzer for a short time (FUZZ_SECONDS each, default 30),
# starting from its seeds in the tree (tests/fuzz/seeds/NAME, read, never
# written) and from what its earlier runs found (the build's corpus folder);
# a crash, or a fuzzer without seeds, shows the report and fails the run.
set -uo pipefail
build=${1:-build-fuzz}
seconds=${FUZZ_SECONDS:-30}
seeds_root=$(cd "$(dirname "$0")" && pwd)/seeds
shopt -s nullglob
found=0
failed=0
for fuzzer in "$build"/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  found=1
  name=$(basename "$fuzzer")
  corpus="$build/corpus/$name"
  log="$build/$name.log"
  seeds="$seeds_root/$name"
  mkdir -p "$corpus"
  if [ ! -d "$seeds" ]; then
    echo "$name FAILED: no seeds in $seeds"
    failed=1
    continue
  fi
  if "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 "$corpus" "$seeds" >"$log" 2>&1; then
    echo "$name: $(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}') runs in ${seconds}s, no findings"
  else
    echo "$name FAILED:"
    tail -60 "$log"
    failed=1
  fi
done
[ $found -eq 1 ] || { echo "no fuzzers built"; exit 1; }
exit $failed
