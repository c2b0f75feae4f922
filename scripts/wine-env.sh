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
  # Made by make_prefix before the prefix's first Wine program starts.
  export FONTCONFIG_FILE="$WINEPREFIX/fontconfig/fonts.conf"
  mkdir -p "$1"
}

# Makes the prefix unless it exists, and gives it the fonts a Chinese
# Windows has; the caller holds the lock on ROOT.
make_prefix() {
  prefix_fontconfig
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: making the $arch prefix $WINEPREFIX" >&2
    "$loader" wineboot -i >/dev/null 2>&1
    wineserver -w
  fi
  windows_fonts
}

# The dialog's font, 宋体, is a Song (Ming) face with narrow digits that
# Windows draws at 9 points from hand-made bitmaps, black, unsmoothed.
# Wine's default stand-in is a sans-serif face whose wider digits cut
# addresses such as 114.114.114.114 in their 100-pixel column. AR PL UMing,
# from Debian, is a Song face with bitmaps for those sizes; but Wine uses
# them only for a face that fontconfig's cache marks as not smoothed, and
# smooths the rest into faint grey. So each prefix has a fontconfig set-up
# and cache of its own in which UMing carries that mark.
prefix_fontconfig() {
  local dir="$WINEPREFIX/fontconfig"
  [ -f "$dir/fonts.conf" ] && return
  mkdir -p "$dir"
  cat >"$dir/fonts.conf.new" <<EOF
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
EOF
  FONTCONFIG_FILE="$dir/fonts.conf.new" fc-cache
  mv "$dir/fonts.conf.new" "$dir/fonts.conf"
}

# Wine draws the caption buttons with Marlett; without it they show as the
# letters "0 1 r". Wine does not look in Debian's folder for its own fonts,
# but it does load a copy in the prefix's Fonts folder. The marker names
# this set-up, so that a changed one reaches older prefixes too.
windows_fonts() {
  local marker="$WINEPREFIX/.dnscheck-fonts-uming" reg
  [ -f "$marker" ] && return
  echo "wine: fonts for $WINEPREFIX (Marlett; 宋体 as AR PL UMing)" >&2
  cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  reg=$(mktemp --suffix=.reg)
  {
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
    printf '"宋体"="AR PL UMing CN"\r\n"SimSun"="AR PL UMing CN"\r\n'
  } | iconv -f UTF-8 -t UTF-16 >"$reg"
  "$loader" regedit /S "$reg"
  # The registry reaches the disk when the prefix's server ends.
  wineserver -w
  rm -f "$reg"
  touch "$marker"
}
