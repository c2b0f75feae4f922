#!/usr/bin/env bash
# Prepares a Wine prefix for showing the tool to a person or a camera:
#   wine-prefix.sh ROOT EXE [WIDTHxHEIGHT]
# makes ROOT/win32 or ROOT/win64 (by EXE's machine, as wine-run.sh picks
# it) and sets it up once:
# - The dialog's font, 宋体, is not on Linux. Wine's stand-in for it, WenQuanYi
#   Zen Hei, turns off smoothing at small sizes, which leaves 9-point
#   Chinese broken; its "Sharp" face carries hand-made bitmaps for those
#   sizes, as the real font does, and reads cleanly.
# - With a size, every window of the prefix opens inside a virtual desktop
#   of that size. Wine then draws the whole window, caption and icon
#   included, where no window manager runs (a bare Xvfb).
set -euo pipefail
root=$1 exe=$2 desktop=${3:-}

source "$(dirname "$0")/wine-env.sh"
wine_env "$root" "$exe"
marker="$WINEPREFIX/.dnscheck-shown${desktop:+-$desktop}"
[ -f "$marker" ] && exit 0

(
  flock 9
  [ -f "$marker" ] && exit 0
  make_prefix
  reg=$(mktemp --suffix=.reg)
  {
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
    printf '"宋体"="WenQuanYi Zen Hei Sharp"\r\n"SimSun"="WenQuanYi Zen Hei Sharp"\r\n\r\n'
    if [ -n "$desktop" ]; then
      printf '[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\r\n"Desktop"="Default"\r\n\r\n'
      printf '[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\r\n"Default"="%s"\r\n' "$desktop"
    fi
  } | iconv -f UTF-8 -t UTF-16 >"$reg"
  "$loader" regedit /S "$reg"
  # The settings apply to the next start of the prefix's desktop.
  wineserver -w
  rm -f "$reg"
  touch "$marker"
) 9>"$root/.lock"
