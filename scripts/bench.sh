#!/usr/bin/env bash
# Runs every benchmark under Wine, on a virtual display, in a private
# network with only a loopback interface, against scripted DNS servers,
# and writes docs/performance.md (each figure beside its bound and target)
# and docs/performance.png from the figures left in RUN_TREE/bench-out.
#   bench.sh [--quick]   (smaller scans, to try the command; the report says so)
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
[ "${1:-}" != --quick ] || quick=1
bash scripts/setup.sh
source scripts/common.sh
build_runnable

raw=$RUN_TREE/bench-out
rm -rf "$raw" && mkdir -p "$raw"
cat >"$raw/machine" <<EOF
date=$(date -u '+%Y-%m-%d %H:%M UTC')
wine=$(/usr/lib/wine/wine64 --version 2>/dev/null || wine --version)
arch=$RUN_ARCH
cores=$(nproc)
load=$(cut -d' ' -f1-3 /proc/loadavg)
quick=$quick
EOF
# The exe size is the product's, build/win32, whichever tree runs here.
echo "figure exe.size $(stat -c %s build/win32/dnscheck.exe) bytes" >"$raw/exe_size.txt"

# A failing benchmark leaves a note; the others still run.
trap 'WINEPREFIX=$RUN_PREFIX wineserver -k 2>/dev/null || true' EXIT
run() {
  local name=$1 exe=$RUN_TREE/$1.exe; shift
  if [ ! -f "$exe" ]; then echo "== $name: not built here"; return; fi
  echo "== $name"
  in_private_network "$RUN_PREFIX" python3 scripts/virtual_display.py \
    scripts/wine-run.sh "$PWD/$RUN_TREE/wine" "$exe" "$@" 2>"$raw/$name.err" | tee "$raw/$name.txt" ||
    { echo "$name failed" | tee -a "$raw/failed"; cat "$raw/$name.err" >&2; }
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
run list_reading_bench
run timer_sim_bench
echo "load_after=$(cut -d' ' -f1-3 /proc/loadavg)" >>"$raw/machine"

python3 scripts/performance_report.py "$raw" docs
[ ! -f "$raw/failed" ] || { echo "bench: some benchmarks failed:" >&2; cat "$raw/failed" >&2; exit 1; }
