#!/usr/bin/env bash
# Installs what the build, the tests and the run command need on Debian
# bookworm, as root. Safe to run again: each step checks first.
set -euo pipefail
packages=(
  cmake make ninja-build git ca-certificates iproute2 util-linux
  g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine32 wine64 xvfb x11-apps x11-utils imagemagick xdotool
  locales fontconfig fonts-wqy-zenhei fonts-wine fonts-arphic-uming
  googletest g++ clang clang-format llvm libclang-rt-14-dev python3 gnuplot-nox
)
[ "$(id -u)" -eq 0 ] || { echo "setup: must run as root (installs packages)" >&2; exit 1; }
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup: adding the i386 architecture"
  dpkg --add-architecture i386
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf-\?8$'; then
  echo "setup: generating the zh_CN.UTF-8 locale"
  sed -i 's/^# *\(zh_CN.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' >>/etc/locale.gen
  locale-gen
fi
echo "setup: done"
