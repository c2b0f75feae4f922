#!/usr/bin/env bash
# Runs the probe's latency benchmark: builds it in the 64-bit tree (or the
# tree given), then runs it under Wine with a virtual display, in a private
# network so that its loopback servers can have port 53.
#   bench-latency.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
tree=${1:-build/win64}
echo "== building latency_bench in $tree"
cmake -S . -B "$tree" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DDNSCHECK_TESTS=ON >/dev/null
cmake --build "$tree" --target latency_bench
start_display
trap stop_display EXIT
echo "== running the latency benchmark"
in_private_network "$PWD/$tree/wine/win64" scripts/wine-run.sh "$PWD/$tree/wine" "$tree/latency_bench.exe"
