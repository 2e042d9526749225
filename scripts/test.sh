#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test inside the test
# environment. Exits non-zero when any test fails.
#   scripts/test.sh [BUILD_DIR] [extra ctest arguments...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
shift || true
"$here/scripts/setup.sh"
source "$here/scripts/road.sh"
settle_road
"$here/scripts/build.sh" "$build"
# Two at a time: the tests that share the sound server, the desktop or the
# service manager hold a lock and still run one after another.
"$here/scripts/testenv.sh" --build "$build" \
  ctest --test-dir "$build" --output-on-failure --timeout 180 -j 2 "$@"
