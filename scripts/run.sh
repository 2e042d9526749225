#!/usr/bin/env bash
# The main job: install what is missing, build, then inside the test
# environment start Tonvaled (/debug, port 4554), play a generated sample
# through out_tonvale.dll with our host tvhost, and leave a WAV recording of
# what the sound device played.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
"$here/scripts/setup.sh"
source "$here/scripts/road.sh"
settle_road
"$here/scripts/build.sh" "$build"
exec "$here/scripts/testenv.sh" --build "$build" bash "$here/scripts/main-job.sh" "$build"
