#!/usr/bin/env bash
# Prepares the prefix wine-run.sh would pick for showing the tool to a
# person or a camera:   wine-prefix.sh ROOT EXE [WIDTHxHEIGHT]
# With a size, every window of the prefix opens in a virtual desktop of
# that size: Wine then draws the whole window, caption and icon included,
# where no window manager runs (a bare Xvfb).
set -euo pipefail
root=$1 desktop=${3:-}
source "$(dirname "$0")/wine-env.sh"
wine_env "$root" "$2"
marker="$WINEPREFIX/.dnscheck-shown${desktop:+-$desktop}"
(
  flock 9
  [ -f "$marker" ] && exit 0
  make_prefix
  if [ -n "$desktop" ]; then
    printf '%s\r\n' '[HKEY_CURRENT_USER\Software\Wine\Explorer]' '"Desktop"="Default"' '' \
      '[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]' "\"Default\"=\"$desktop\"" | import_reg
  fi
  wineserver -w  # the settings apply at the desktop's next start
  touch "$marker"
) 9>"$root/.lock"
