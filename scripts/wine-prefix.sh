#!/usr/bin/env bash
# Prepares the prefix wine-run.sh would pick for showing the tool to a
# person or a camera:   wine-prefix.sh ROOT EXE [WIDTHxHEIGHT [DPI]]
# With a size, every window of the prefix opens in a virtual desktop of
# that size: Wine then draws the whole window, caption and icon included,
# where no window manager runs (a bare Xvfb). With a DPI, its programs
# run at that display scale.
set -euo pipefail
root=$1 desktop=${3:-} dpi=${4:-}
source "$(dirname "$0")/wine-env.sh"
wine_env "$root" "$2"
marker="$WINEPREFIX/.dnscheck-shown${desktop:+-$desktop}${dpi:+-$dpi}"
(
  flock 9
  [ -f "$marker" ] && exit 0
  make_prefix
  if [ -n "$desktop" ]; then
    printf '%s\r\n' '[HKEY_CURRENT_USER\Software\Wine\Explorer]' '"Desktop"="Default"' '' \
      '[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]' "\"Default\"=\"$desktop\"" | import_reg
  fi
  [ -z "$dpi" ] || set_dpi "$dpi"
  wineserver -w  # the settings apply at the desktop's next start
  # The marker names the set-up in force: an earlier one's no longer holds.
  rm -f "$WINEPREFIX"/.dnscheck-shown*
  touch "$marker"
) 9>"$root/.lock"
