#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the
# Windows tests under Wine, the network-facing code natively under
# sanitizers, and a bounded fuzzing run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/common.sh

echo "== C++ format (.clang-format)"
find src tests bench fuzz -name '*.cpp' -o -name '*.h' | xargs clang-format --dry-run -Werror

build_runnable
bash scripts/check-exe.sh build/win32/dnscheck.exe
bash scripts/check-reproducible.sh

tree=$(runnable_tree)
start_display
prefix=$PWD/$tree/wine/$([ "$tree" = build/win64 ] && echo win64 || echo win32)
trap 'stop_display; WINEPREFIX=$prefix wineserver -k 2>/dev/null || true' EXIT
echo "== Windows tests under Wine ($tree)"
(cd "$tree" && in_private_network "$prefix" ctest --output-on-failure -j2)

echo "== native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/native -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/native
(cd build/native && ctest --output-on-failure)

bash scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
