#!/usr/bin/env bash
# Tonvaled /debug in the foreground: a mixed-case word selects debug mode, the
# server listens on the INI's port, and a console Ctrl+C (SIGINT to the Wine
# process) ends it with "Tonvale stopped" and exit code 0.
set -euo pipefail
exe=$1
work=$(mktemp -d)
trap 'kill "${pid:-}" 2>/dev/null || true; rm -rf "$work"' EXIT
cp "$exe" "$work/Tonvaled.exe"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
printf '[COMMON]\r\nlisternPort=%s\r\nAnnounce=0\r\n' "$port" > "$work/Tonvaled.ini"

fail() { echo "FAIL: $*" >&2; exit 1; }

wine "$work/Tonvaled.exe" /DeBuG >"$work/out" 2>"$work/err" </dev/null &
pid=$!
for _ in $(seq 100); do
  python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$port),0.2).close()" 2>/dev/null && break
  sleep 0.1
done
python3 - "$port" <<'PY' || fail "the server did not answer CMD_CLOSE with {8, 0}"
import socket, struct, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), 5)
s.sendall(struct.pack("<Bi", 8, 0))
reply = b""
while len(reply) < 5:
    chunk = s.recv(5 - len(reply))
    if not chunk:
        break
    reply += chunk
sys.exit(0 if reply == b"\x08\x00\x00\x00\x00" else 1)
PY

kill -INT "$pid"
for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "Ctrl+C did not end /debug"
rc=0
wait "$pid" || rc=$?
pid=
[ "$rc" -eq 0 ] || fail "exit code $rc"
expected=$'Tonvale started\r\nTonvale stopped\r\n'
actual=$(cat "$work/out"; printf x)
[ "${actual%x}" = "$expected" ] || fail "console output was: $(od -c "$work/out" | head)"
echo "PASS"
