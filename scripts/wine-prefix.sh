#!/usr/bin/env bash
# Prepares a Wine prefix for showing the tool to a person or a camera:
#   wine-prefix.sh ROOT EXE [WIDTHxHEIGHT]
# makes ROOT/win32 or ROOT/win64 (by EXE's machine, as wine-run.sh picks
# it), with the fonts every prefix of ours gets (wine-env.sh), and sets it
# up once: with a size, every window of the prefix opens inside a virtual
# desktop of that size. Wine then draws the whole window, caption and icon
# included, where no window manager runs (a bare Xvfb).
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
  if [ -n "$desktop" ]; then
    reg=$(mktemp --suffix=.reg)
    {
      printf 'Windows Registry Editor Version 5.00\r\n\r\n'
      printf '[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\r\n"Desktop"="Default"\r\n\r\n'
      printf '[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\r\n"Default"="%s"\r\n' "$desktop"
    } | iconv -f UTF-8 -t UTF-16 >"$reg"
    "$loader" regedit /S "$reg"
    rm -f "$reg"
  fi
  # The settings apply to the next start of the prefix's desktop.
  wineserver -w
  touch "$marker"
) 9>"$root/.lock"
