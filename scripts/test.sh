#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the Windows
# tests under Wine, the network code natively under sanitizers, and fuzzing.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/common.sh

echo "== C++ format (.clang-format)"
find src tests bench fuzz -name '*.cpp' -o -name '*.h' | xargs clang-format --dry-run -Werror

build_runnable
bash scripts/check-exe.sh build/win32/dnscheck.exe
bash scripts/check-reproducible.sh

echo "== Windows tests under Wine ($RUN_TREE)"
trap 'WINEPREFIX=$RUN_PREFIX wineserver -k 2>/dev/null || true' EXIT
in_private_network "$RUN_PREFIX" python3 scripts/virtual_display.py \
  ctest --test-dir "$RUN_TREE" --output-on-failure -j2

echo "== native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/native -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/native
ctest --test-dir build/native --output-on-failure

bash scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
