#!/usr/bin/env bash
# Makes the release: builds the 32-bit exe in build/release and writes
# and checks dist/dnscheck-VERSION-win32.zip (exe, default dns.ini, usage
# note, their SHA-256 sums), its entries dated at the commit (or SOURCE_DATE_EPOCH).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/common.sh
version=$(head -n1 VERSION)
epoch=${SOURCE_DATE_EPOCH:-$([ -e .git ] && git log -1 --format=%ct)} ||
  { echo "package: not a git checkout; set SOURCE_DATE_EPOCH to the release's time" >&2; exit 1; }
# The exe carries no time at all. Compiler and linker would take one from
# SOURCE_DATE_EPOCH and so hide a stamp that slipped in.
unset SOURCE_DATE_EPOCH
build_tree build/release mingw-i686.cmake -DDNSCHECK_TESTS=OFF
bash scripts/check-exe.sh build/release/dnscheck.exe
echo "== packaging version $version"
zip=$(python3 scripts/package.py "$version" "$epoch" build/release/dnscheck.exe \
  res/dns.ini res/usage-zh.txt dist)
echo "package: $zip"
sha256sum "$zip"
