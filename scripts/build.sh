#!/usr/bin/env bash
# Configures and builds everything into a build folder (default: build/), for
# the road this machine takes (road.sh): the 32-bit build, or the 64-bit twin
# with the 32-bit deliverables beside it in win32/.
#   scripts/build.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
source "$here/scripts/road.sh"
build=${1:-$here/build}
road=$(pick_road)
case "$road" in
  32) toolchain="$here/cmake/mingw-i686.cmake" ;;
  64) toolchain="$here/cmake/mingw-x86_64.cmake" ;;
esac
# A folder configured for the other road starts again from a clean cache.
if [ -f "$build/CMakeCache.txt" ] &&
   ! grep -qx "CMAKE_TOOLCHAIN_FILE:FILEPATH=$toolchain" "$build/CMakeCache.txt"; then
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles" "$build/wineprefix"
fi
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" >/dev/null
ninja -C "$build"
