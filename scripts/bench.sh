#!/usr/bin/env bash
# Runs every benchmark against scripted DNS servers on loopback addresses
# and writes the report: docs/performance.md (each figure beside its bound
# and target) and docs/performance.png.
#   bench.sh [--quick]
# Each benchmark runs under Wine with a virtual display, in a private
# network that has only a loopback interface; its figures go to
# RUN_TREE/bench-out. --quick runs smaller scans, to try the command out
# (the report says so). The exe size is that of the product, build/win32.
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
if [ "${1:-}" = --quick ]; then quick=1; fi
bash scripts/setup.sh
source scripts/common.sh
build_runnable

raw=$RUN_TREE/bench-out
rm -rf "$raw" && mkdir -p "$raw"
{
  echo "date=$(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "wine=$(/usr/lib/wine/wine64 --version 2>/dev/null || wine --version)"
  echo "arch=$RUN_ARCH"
  echo "cores=$(nproc)"
  echo "load=$(cut -d' ' -f1-3 /proc/loadavg)"
  echo "quick=$quick"
} >"$raw/machine"
echo "figure exe.size $(stat -c %s build/win32/dnscheck.exe) bytes" >"$raw/exe_size.txt"

# A failing benchmark leaves a note; the others still run.
trap 'WINEPREFIX=$RUN_PREFIX wineserver -k 2>/dev/null || true' EXIT
run() {
  local name=$1 exe=$RUN_TREE/$1.exe; shift
  if [ ! -f "$exe" ]; then echo "== $name: not built here"; return; fi
  echo "== $name"
  if ! in_private_network "$RUN_PREFIX" python3 scripts/virtual_display.py \
      scripts/wine-run.sh "$PWD/$RUN_TREE/wine" "$exe" "$@" 2>"$raw/$name.err" | tee "$raw/$name.txt"; then
    echo "$name failed" | tee -a "$raw/failed"
    cat "$raw/$name.err" >&2
  fi
}
tool="Z:$(realpath "$RUN_TREE/dnscheck.exe" | tr / '\\')"
if [ "$quick" = 1 ]; then
  run scan_bench --quick
  run list_file_bench 1000 10000
  run exe_memory_bench "$tool" 500 40 3
else
  run scan_bench
  run list_file_bench
  run exe_memory_bench "$tool" 2000 40 10
fi
run latency_bench
run timer_sim_bench
echo "load_after=$(cut -d' ' -f1-3 /proc/loadavg)" >>"$raw/machine"

python3 scripts/performance_report.py "$raw" docs
if [ -f "$raw/failed" ]; then
  echo "bench: some benchmarks failed:" >&2
  cat "$raw/failed" >&2
  exit 1
fi
