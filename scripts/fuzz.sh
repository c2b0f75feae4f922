#!/usr/bin/env bash
# Fuzzes the code that reads untrusted bytes, the reply walkers and the
# list file's reader, for SECONDS (default 60) each; fails on any crash or
# sanitizer report. New inputs go to scratch copies of the committed seeds.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake -S . -B build/native -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/native --target reply_fuzzer list_fuzzer
# fuzzer, what it reads, longest input
for target in "reply:the reply walkers:1100" "list:the list file's reader:8192"; do
  IFS=: read -r name what longest <<<"$target"
  work=build/fuzz-work/$name
  rm -rf "$work" && mkdir -p "$work/corpus" "$work/crashes"
  cp "fuzz/${name}_corpus"/* "$work/corpus/"
  echo "== fuzzing $what for ${seconds}s"
  if ! "build/native/${name}_fuzzer" -max_total_time="$seconds" -max_len="$longest" \
        -print_final_stats=1 -artifact_prefix="$work/crashes/" "$work/corpus" >"$work/log" 2>&1; then
    tail -40 "$work/log"
    echo "fuzz: FAILED; inputs in $work/crashes" >&2
    exit 1
  fi
  grep -E 'stat::number_of_executed_units|Done' "$work/log" | tail -2
done
echo "fuzz: no crash and no sanitizer report"
