#!/usr/bin/env bash
# The whole road, run inside the test environment by run.sh: Tonvaled in the
# foreground on port 4554, a recorder on the null sink's monitor, a generated
# sample played through out_tonvale.dll by tvhost, and the recording left in
# the build folder.
#   scripts/main-job.sh BUILD_DIR [tvhost options...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
shift
port=4554
job="$build/main-job"
sample="$job/sample.wav"
recording="$build/recording.wav"
winpath() { printf 'Z:%s' "${1//\//\\}"; }

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; }

daemon="" recorder=""
cleanup() {
  [ -n "$recorder" ] && kill -INT "$recorder" 2>/dev/null && wait "$recorder" 2>/dev/null || true
  [ -n "$daemon" ] && kill -INT "$daemon" 2>/dev/null && wait "$daemon" 2>/dev/null || true
}
trap cleanup EXIT

rm -rf "$job"
mkdir -p "$job/plugins"
# The plug-in from a folder of its own, with the default settings written out.
cp "$build/plugin/out_tonvale.dll" "$job/plugins/"
printf '[COMMON]\r\nServerAddr=localhost\r\nServerPort=%d\r\nBuffSize=2000\r\n' "$port" \
  >"$job/plugins/out_tonvale.ini"

if port_open; then
  echo "main-job: port $port is already in use" >&2
  exit 1
fi
echo "== Tonvaled /debug on port $port (its console: $job/Tonvaled.console.txt)"
wine "$build/Tonvaled.exe" /debug >"$job/Tonvaled.console.txt" 2>&1 </dev/null &
daemon=$!
for _ in $(seq 200); do port_open && break; sleep 0.1; done
port_open || { echo "main-job: Tonvaled does not listen on port $port" >&2; exit 1; }

echo "== sample: 5 s, 44.1 kHz, 16-bit stereo, 220 Hz left and 330 Hz right"
python3 "$here/scripts/make_wav.py" "$sample" --signal sine --seconds 5

echo "== recording the sound device into $recording"
rm -f "$recording"
parecord --latency-msec=10 -d "$TONVALE_SINK.monitor" --file-format=wav "$recording" &
recorder=$!
sleep 0.5

echo "== tvhost playing the sample through out_tonvale.dll"
set +e
wine "$build/host/tvhost.exe" --plugin "$(winpath "$job/plugins/out_tonvale.dll")" "$@" \
  "$(winpath "$sample")" </dev/null
status=$?
set -e

# The recorder loses its buffered tail when stopped at once.
sleep 1
kill -INT "$recorder"
wait "$recorder" || true
recorder=""
kill -INT "$daemon"
wait "$daemon" || true
daemon=""

echo "== Tonvaled's console"
cat "$job/Tonvaled.console.txt"
python3 - "$recording" <<'PY'
import sys, wave
with wave.open(sys.argv[1]) as w:
    print("== recording: %s (%.2f s, %d Hz, %d channels)"
          % (sys.argv[1], w.getnframes() / w.getframerate(), w.getframerate(), w.getnchannels()))
PY
exit $status
