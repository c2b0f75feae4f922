#!/usr/bin/env bash
# Runs a test program at each display scale the window is tried at, in a
# Wine prefix of its own: the scale belongs to the whole prefix, read when
# its server starts, and the other tests share theirs.
#   display_scale.sh PREFIX_ROOT TEST_EXE   (DNSCHECK_DPIS="96 192": other scales)
set -euo pipefail
source "$(dirname "$0")/../scripts/wine-env.sh"
wine_env "$1" "$2"
(
  flock 9
  make_prefix
) 9>"$1/.lock"
trap 'wineserver -k 2>/dev/null || true' EXIT
failed=
for dpi in ${DNSCHECK_DPIS:-96 120 144}; do
  echo "== $dpi DPI"
  wineserver -k 2>/dev/null || true
  set_dpi "$dpi"
  wineserver -w
  DNSCHECK_DPI=$dpi "$loader" "$2" || failed="$failed $dpi"
done
[ -z "$failed" ] || { echo "failed at DPI:$failed" >&2; exit 1; }
