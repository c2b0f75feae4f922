# Sourced by wine-run.sh and wine-prefix.sh: the Wine loader and prefix for
# a Windows program, and the prefix's set-up on first use.

# wine_env ROOT EXE: exports the Wine environment for ROOT/win32 (32-bit
# EXE) or ROOT/win64 (PE machine field 0x8664) and sets $loader.
wine_env() {
  local pe arch=win32
  pe=$(od -An -tu4 -j60 -N4 "$2" | tr -d ' ')
  loader=/usr/lib/wine/wine
  if [ "$(od -An -tx2 -j$((pe + 4)) -N2 "$2" | tr -d ' ')" = 8664 ]; then
    loader=/usr/lib/wine/wine64 arch=win64
  fi
  export WINEPREFIX="$1/$arch" WINEARCH=$arch WINEDEBUG=-all LC_ALL=zh_CN.UTF-8
  # Overrides the caller sets (winmm=n,b: search for winmm as Windows does)
  # come after the prefix's own.
  export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
  export FONTCONFIG_FILE="$1/$arch/fontconfig/fonts.conf"
  mkdir -p "$1"
}

# Imports registry entries, UTF-8 text on stdin, into the prefix.
import_reg() {
  local reg
  reg=$(mktemp --suffix=.reg)
  { printf 'Windows Registry Editor Version 5.00\r\n\r\n'; cat; } | iconv -f UTF-8 -t UTF-16 >"$reg"
  "$loader" regedit /S "$reg"
  rm -f "$reg"
}

# Sets the display scale (DPI) the prefix's programs see from the next
# start of its server on.
set_dpi() {
  printf '%s\r\n' '[HKEY_CURRENT_USER\Control Panel\Desktop]' \
    "\"LogPixels\"=dword:$(printf %08x "$1")" | import_reg
}

# Makes the prefix unless it exists, with the fonts a Chinese Windows has;
# the caller holds the lock on ROOT.
#
# The dialog's font, 宋体, is a Song face with narrow digits that Windows
# draws at 9 points from hand-made bitmaps, unsmoothed; Wine's stand-in, a
# sans-serif face, cuts 114.114.114.114 in its 100-pixel column. AR PL
# UMing is a Song face with such bitmaps, but Wine uses them only for a
# face that fontconfig's cache marks as not smoothed: hence a fontconfig
# set-up and cache of the prefix's own.
make_prefix() {
  local dir="$WINEPREFIX/fontconfig" marker="$WINEPREFIX/.dnscheck-fonts-uming"
  if [ ! -f "$dir/fonts.conf" ]; then
    mkdir -p "$dir"
    cat >"$dir/fonts.conf.new" <<EOF2
<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "urn:fontconfig:fonts.dtd">
<fontconfig>
  <dir>/usr/share/fonts</dir>
  <dir>/usr/local/share/fonts</dir>
  <include ignore_missing="yes">/etc/fonts/conf.d</include>
  <cachedir>$dir/cache</cachedir>
  <match target="scan">
    <test name="family" compare="contains"><string>AR PL UMing</string></test>
    <edit name="antialias" mode="assign"><bool>false</bool></edit>
  </match>
</fontconfig>
EOF2
    FONTCONFIG_FILE="$dir/fonts.conf.new" fc-cache
    mv "$dir/fonts.conf.new" "$dir/fonts.conf"
  fi
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: making the $WINEARCH prefix $WINEPREFIX" >&2
    "$loader" wineboot -i >/dev/null 2>&1
    wineserver -w
  fi
  # Without Marlett the caption buttons show as "0 1 r"; Wine loads a copy
  # in the prefix's Fonts, not Debian's. The marker names this set-up, so
  # that a changed one reaches older prefixes too.
  [ -f "$marker" ] && return
  echo "wine: fonts for $WINEPREFIX (Marlett; 宋体 as AR PL UMing)" >&2
  cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  printf '%s\r\n' '[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]' \
    '"宋体"="AR PL UMing CN"' '"SimSun"="AR PL UMing CN"' | import_reg
  wineserver -w  # the registry reaches the disk when the prefix's server ends
  touch "$marker"
}
