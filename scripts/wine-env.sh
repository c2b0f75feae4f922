# Sourced by wine-run.sh and wine-prefix.sh: picks the Wine loader and the
# prefix for a Windows program, and makes the prefix on first use.

# wine_env ROOT EXE: sets loader, arch and the Wine environment. 32-bit
# programs get ROOT/win32, 64-bit ones ROOT/win64 (PE machine field: 0x14c
# is i386, 0x8664 is x86-64).
wine_env() {
  local exe=$2 pe machine
  pe=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')
  machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$exe" | tr -d ' ')
  if [ "$machine" = 8664 ]; then
    loader=/usr/lib/wine/wine64; arch=win64
  else
    loader=/usr/lib/wine/wine; arch=win32
  fi
  export WINEPREFIX="$1/$arch" WINEARCH=$arch WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8
  mkdir -p "$1"
}

# Makes the prefix unless it exists; the caller holds the lock on ROOT.
make_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: making the $arch prefix $WINEPREFIX" >&2
    "$loader" wineboot -i >/dev/null 2>&1
    wineserver -w
  fi
}
