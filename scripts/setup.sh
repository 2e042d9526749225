#!/usr/bin/env bash
# Installs what building and testing need on Debian 12; skips what is there.
set -euo pipefail

packages=(
  g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686 cmake ninja-build googletest
  wine wine32:i386 wine64 xvfb pulseaudio pulseaudio-utils libpulse0:i386 sox
  imagemagick x11-apps python3 procps nsis
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
