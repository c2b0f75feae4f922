#!/usr/bin/env bash
# Runs a Windows program under Wine in a private prefix of the build tree,
# made on first use under a lock, since ctest runs programs in parallel:
#   wine-run.sh PREFIX_ROOT program.exe [args...]
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
wine_env "$1" "$2"
(
  flock 9
  make_prefix
) 9>"$1/.lock"
shift
exec "$loader" "$@"
