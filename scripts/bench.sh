#!/usr/bin/env bash
# Runs every benchmark against local test servers and writes the report:
# docs/performance.md (each figure beside its bound and target) and
# docs/performance.png.
#   bench.sh [--quick] [BUILD_DIR]
# The product is built in build/win32, whose exe size is reported; the
# benchmarks are built in BUILD_DIR (default: the tree whose programs run
# on this machine) and run under Wine with a virtual display, in a private
# network that has only a loopback interface. --quick runs smaller scans
# (for trying the command out; the report says so).
set -euo pipefail
cd "$(dirname "$0")/.."

BENCH_TARGETS=(dnscheck latency_bench scan_bench window_bench exe_memory_bench)

# Run inside the private network: each benchmark in turn, its output kept
# in RAW_DIR; a failing benchmark leaves a note and the others still run.
if [ "${1:-}" = --inside ]; then
  tree=$2 raw=$3 quick=$4
  exe_windows="Z:$(realpath "$tree/dnscheck.exe" | tr / '\\')"
  if [ "$quick" = 1 ]; then
    scan_args=(--quick) window_args=(500 3) exe_args=(500 40 3)
  else
    scan_args=() window_args=(2000 10) exe_args=(2000 40 10)
  fi
  run() {
    local name=$1; shift
    echo "== $name"
    if ! scripts/wine-run.sh "$PWD/$tree/wine" "$@" 2>"$raw/$name.err" | tee "$raw/$name.txt"; then
      echo "$name failed" | tee -a "$raw/failed"
      cat "$raw/$name.err" >&2
    fi
  }
  run latency "$tree/latency_bench.exe"
  run scan "$tree/scan_bench.exe" "${scan_args[@]}"
  run window "$tree/window_bench.exe" "${window_args[@]}"
  run exe "$tree/exe_memory_bench.exe" "$exe_windows" "${exe_args[@]}"
  exit 0
fi

quick=0
if [ "${1:-}" = --quick ]; then quick=1; shift; fi

bash scripts/setup.sh
source scripts/common.sh

build_tree build/win32 mingw-i686.cmake -DDNSCHECK_TESTS="$(can_run_32bit && echo ON || echo OFF)"
tree=${1:-$(runnable_tree)}
if can_run_32bit; then toolchain=mingw-i686.cmake arch=win32; else toolchain=mingw-x86_64.cmake arch=win64; fi
echo "== building the benchmarks in $tree"
cmake -S . -B "$tree" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain" -DDNSCHECK_TESTS=ON >/dev/null
cmake --build "$tree" --target "${BENCH_TARGETS[@]}"

raw=$tree/bench-out
rm -rf "$raw"
mkdir -p "$raw"
{
  echo "date=$(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "wine=$(/usr/lib/wine/wine64 --version 2>/dev/null || wine --version)"
  echo "arch=$arch"
  echo "cores=$(nproc)"
  echo "load=$(cut -d' ' -f1-3 /proc/loadavg)"
  echo "quick=$quick"
} >"$raw/machine"

start_display
prefix=$PWD/$tree/wine/$arch
trap 'stop_display; WINEPREFIX=$prefix wineserver -k 2>/dev/null || true' EXIT
in_private_network "$prefix" bash scripts/bench.sh --inside "$tree" "$raw" "$quick"
echo "load_after=$(cut -d' ' -f1-3 /proc/loadavg)" >>"$raw/machine"

python3 scripts/performance_report.py "$raw" build/win32/dnscheck.exe docs
if [ -f "$raw/failed" ]; then
  echo "bench: some benchmarks failed:" >&2
  cat "$raw/failed" >&2
  exit 1
fi
