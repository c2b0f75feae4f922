#!/usr/bin/env bash
# Runs a Windows program under Wine in a private prefix of the build tree:
#   wine-run.sh PREFIX_ROOT program.exe [args...]
# The prefix is made on first use (under a lock, since ctest runs programs
# in parallel); 32-bit programs get a win32 prefix, 64-bit ones a win64.
set -euo pipefail
root=$1; shift
exe=$1

# PE machine field: 0x14c is i386, 0x8664 is x86-64.
pe=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')
machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$exe" | tr -d ' ')
if [ "$machine" = 8664 ]; then
  loader=/usr/lib/wine/wine64; arch=win64
else
  loader=/usr/lib/wine/wine; arch=win32
fi

export WINEPREFIX="$root/$arch" WINEARCH=$arch WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8
mkdir -p "$root"
(
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine-run: making the $arch prefix $WINEPREFIX" >&2
    "$loader" wineboot -i >/dev/null 2>&1
    wineserver -w
  fi
) 9>"$root/.lock"
exec "$loader" "$@"
