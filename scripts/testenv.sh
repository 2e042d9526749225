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

export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export XDG_RUNTIME_DIR="$build/xdg"
export TONVALE_SINK=tonvale_sink
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
  --load=module-native-protocol-unix >"$build/pulseaudio.log" 2>&1 </dev/null &
pids+=($!)
for _ in $(seq 200); do pactl info >/dev/null 2>&1 && break; sleep 0.05; done
pactl info >/dev/null 2>&1 || { echo "testenv: PulseAudio did not start" >&2; exit 1; }
pactl set-default-sink "$TONVALE_SINK"

# A persistent wineserver and a booted prefix, detached from our stdio so that
# Wine's background processes never hold the caller's pipes open.
mkdir -p "$WINEPREFIX"
wineserver -p >/dev/null 2>&1 </dev/null
wine wineboot >/dev/null 2>&1 </dev/null

set +e
"$@"
rc=$?
set -e
exit $rc
