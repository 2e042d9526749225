#!/usr/bin/env bash
# Installs what building and testing need on Debian 12; skips what is there.
#
# A machine that runs 32-bit programs gets the 32-bit Wine (road 32); one that
# does not, or forces TONVALE_ARCH=64, gets the 64-bit toolchain and wine64
# only, with no i386 architecture (road 64, see road.sh). Where the i386
# packages cannot be installed (a mirror mid-sync on an i386 index), the
# machine takes road 64 unless TONVALE_ARCH=32 insists.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
source "$here/scripts/road.sh"

common=(
  g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686 cmake ninja-build googletest
  wine wine64 xvfb pulseaudio pulseaudio-utils sox
  imagemagick x11-apps python3 procps nsis avahi-daemon avahi-utils
)
road32=(wine32:i386 libpulse0:i386)
road64=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

missing_of() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

# A mirror caught mid-sync fails an index for a while: try a few times, then
# go on with what was fetched. The indexes that still failed are kept for the
# message should an install then fail.
failed_indexes=""
updated=""
update_indexes() {
  [ -z "$updated" ] || return 0
  updated=1
  local log attempt
  log=$(mktemp)
  for attempt in 1 2 3 4; do
    if $sudo apt-get update -q >"$log" 2>&1; then rm -f "$log"; failed_indexes=""; return 0; fi
    failed_indexes=$(sed -n 's/^E: Failed to fetch \([^ ]*\).*/\1/p' "$log" | sort -u)
    [ "$attempt" -lt 4 ] && sleep 5
  done
  echo "setup: apt-get update failed for:" $failed_indexes "(going on with the rest)" >&2
  rm -f "$log"
}

install() {
  local missing
  mapfile -t missing < <(missing_of "$@")
  [ ${#missing[@]} -eq 0 ] && return 0
  update_indexes
  if ! DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"; then
    [ -n "$failed_indexes" ] && echo "setup: the install failed; these indexes could not be fetched:" $failed_indexes >&2
    return 1
  fi
}

wanted=${TONVALE_ARCH:-}
if [ -z "$wanted" ]; then
  if kernel_runs_32bit; then wanted=32; else wanted=64; fi
fi

if [ "$wanted" = 32 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  if install "${common[@]}" "${road32[@]}"; then exit 0; fi
  if [ "${TONVALE_ARCH:-}" = 32 ]; then
    echo "setup: TONVALE_ARCH=32, but Wine's 32-bit packages could not be installed" >&2
    exit 1
  fi
  echo "setup: Wine's 32-bit packages could not be installed; installing for the 64-bit twin" >&2
fi
install "${common[@]}" "${road64[@]}"
