#!/usr/bin/env bash
# The main job: build, then run Tonvaled in the foreground (/debug) on port
# 4554, playing into the default sound device (a null sink where the machine
# has no sound card). Ctrl+C stops it.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
"$here/scripts/setup.sh"
"$here/scripts/build.sh" "$build"
exec "$here/scripts/testenv.sh" --build "$build" wine "$build/Tonvaled.exe" /debug
