#!/usr/bin/env bash
# Runs one command inside a private Windows test environment: its own Wine
# prefix, an X display, and a PulseAudio server whose default sink is a null
# sink. Everything started here is ended by process id when the command ends.
#
#   scripts/testenv.sh [--build DIR] COMMAND [ARGS...]
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build="$here/build"
if [ "${1:-}" = "--build" ]; then build=$2; shift 2; fi
[ $# -gt 0 ] || { echo "usage: $0 [--build DIR] COMMAND [ARGS...]" >&2; exit 2; }
mkdir -p "$build"
build=$(cd "$build" && pwd)

# Road 64 (road.sh): every `wine` of the suite is Wine's 64-bit loader, which
# /usr/bin/wine would only try after a 32-bit one that cannot start here.
source "$here/scripts/road.sh"
road=$(pick_road)
if [ "$road" = 32 ] && ! wine32_starts; then
  echo "testenv: the 32-bit build cannot run here: $(why_no_32bit); set TONVALE_ARCH=64 for the 64-bit twin" >&2
  exit 1
fi
if [ "$road" = 64 ]; then
  mkdir -p "$build/wine64-bin"
  for name in wine wine-stable; do
    printf '#!/bin/sh\nexec %s "$@"\n' "$wine64_loader" >"$build/wine64-bin/$name"
    chmod +x "$build/wine64-bin/$name"
  done
  export PATH="$build/wine64-bin:$PATH" WINELOADER="$wine64_loader"
fi

export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export XDG_RUNTIME_DIR="$build/xdg"
export TONVALE_SINK=tonvale_sink
# A second sound card for the tests that play but judge nothing by the sound
# (tests/CMakeLists.txt): Wine plays to the sink that PULSE_SINK names.
export TONVALE_SIDE_SINK=tonvale_side_sink
# The tests judge some recordings by the road (e2e_test.py: sink_sample).
export TONVALE_ARCH="$road"
mkdir -p "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset PULSE_SERVER

pids=()
cleanup() {
  local rc=$?
  trap - EXIT INT TERM
  wineserver -k >/dev/null 2>&1 || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# X display for real windows.
display_file="$build/xvfb.display"
rm -f "$display_file"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 </dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.05; done
[ -s "$display_file" ] || { echo "testenv: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$display_file")"

# Sound: a null sink is the sound card; its monitor records what was played.
pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --log-target=stderr \
  --load="module-null-sink sink_name=$TONVALE_SINK rate=44100 norewinds=1" \
  --load="module-null-sink sink_name=$TONVALE_SIDE_SINK rate=44100 norewinds=1" \
  --load=module-native-protocol-unix >"$build/pulseaudio.log" 2>&1 </dev/null &
pids+=($!)
for _ in $(seq 200); do pactl info >/dev/null 2>&1 && break; sleep 0.05; done
pactl info >/dev/null 2>&1 || { echo "testenv: PulseAudio did not start" >&2; exit 1; }
pactl set-default-sink "$TONVALE_SINK"

# A persistent wineserver and a booted prefix, detached from our stdio so that
# Wine's background processes never hold the caller's pipes open.
mkdir -p "$WINEPREFIX"
wineserver -p >/dev/null 2>&1 </dev/null
wine wineboot >/dev/null 2>&1 </dev/null || { echo "testenv: Wine did not boot the prefix $WINEPREFIX" >&2; exit 1; }

set +e
"$@"
rc=$?
set -e
exit $rc
