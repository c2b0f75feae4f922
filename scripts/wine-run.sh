#!/usr/bin/env bash
# Runs a Windows program under Wine in a private prefix of the build tree:
#   wine-run.sh PREFIX_ROOT program.exe [args...]
# The prefix is made on first use (under a lock, since ctest runs programs
# in parallel); 32-bit programs get a win32 prefix, 64-bit ones a win64.
set -euo pipefail
root=$1; shift
exe=$1

source "$(dirname "$0")/wine-env.sh"
wine_env "$root" "$exe"
(
  flock 9
  make_prefix
) 9>"$root/.lock"
exec "$loader" "$@"
