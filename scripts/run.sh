#!/usr/bin/env bash
# Installs what is missing, builds what it runs and opens the tool under Wine
# with the default list beside it. Where no display answers, a demo instead:
# the tool on DNS servers of this machine, in a network of its own.
#   bash scripts/run.sh [--screenshot PATH] [--dpi DPI]   (the options: demo only)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/common.sh

# Only what runs: the tool (with its list), and for the demo its DNS
# servers and the driver that presses Start; the tests build the rest.
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  build_to_run dnscheck
  echo "== opening $RUN_TREE/dnscheck.exe with its list $RUN_TREE/dns.ini"
  bash scripts/wine-prefix.sh "$PWD/$RUN_TREE/wine-run" "$RUN_TREE/dnscheck.exe"
  exec bash scripts/wine-run.sh "$PWD/$RUN_TREE/wine-run" "$PWD/$RUN_TREE/dnscheck.exe"
fi

build_to_run dnscheck e2e_dns_servers e2e_driver
echo "== no display: a demo against DNS servers on this machine"
in_private_network "$PWD/$RUN_TREE/wine-demo/$RUN_ARCH" python3 scripts/demo.py "$RUN_TREE" "$@"
