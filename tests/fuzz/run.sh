#!/usr/bin/env bash
# Runs every built fuzzer for a short time (FUZZ_SECONDS, default 30).
set -euo pipefail
build=${1:-build-fuzz}
seconds=${FUZZ_SECONDS:-30}
shopt -s nullglob
found=0
for fuzzer in "$build"/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  found=1
  name=$(basename "$fuzzer")
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  echo "== $name for ${seconds}s"
  "$fuzzer" -max_total_time="$seconds" -print_final_stats=0 "$corpus" 2>&1 | tail -3
done
[ $found -eq 1 ] || echo "no fuzzers built"
