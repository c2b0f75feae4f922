#!/usr/bin/env bash
# Fuzzes the reply walkers for SECONDS (default 60); fails on any crash or
# sanitizer report. New inputs go to a scratch copy of the committed seeds.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake -S . -B build/native -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/native --target reply_fuzzer
work=build/fuzz-work
rm -rf "$work" && mkdir -p "$work/corpus" "$work/crashes"
cp fuzz/corpus/* "$work/corpus/"
echo "== fuzzing the reply walkers for ${seconds}s"
if ! build/native/reply_fuzzer -max_total_time="$seconds" -max_len=1100 -print_final_stats=1 \
      -artifact_prefix="$work/crashes/" "$work/corpus" >"$work/log" 2>&1; then
  tail -40 "$work/log"
  echo "fuzz: FAILED; inputs in $work/crashes" >&2
  exit 1
fi
grep -E 'stat::number_of_executed_units|Done' "$work/log" | tail -2
echo "fuzz: no crash and no sanitizer report"
