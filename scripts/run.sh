#!/usr/bin/env bash
# The run command: installs what is missing, builds if needed and opens
# the tool under Wine with the default list beside it. Where no display
# answers, it runs a demo instead: the tool on a list of DNS servers on
# this machine, in a network of its own, so nothing is sent off it.
#   bash scripts/run.sh [--screenshot PATH]   (the option: demo only)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/common.sh

build_runnable
tree=$(runnable_tree)
arch=$([ "$tree" = build/win64 ] && echo win64 || echo win32)

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  echo "== opening $tree/dnscheck.exe with its list $tree/dns.ini"
  bash scripts/wine-prefix.sh "$PWD/$tree/wine-run" "$tree/dnscheck.exe"
  exec bash scripts/wine-run.sh "$PWD/$tree/wine-run" "$PWD/$tree/dnscheck.exe"
fi

echo "== no display: a demo against DNS servers on this machine"
in_private_network "$PWD/$tree/wine-demo/$arch" python3 scripts/demo.py "$tree" "$@"
