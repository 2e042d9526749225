#!/usr/bin/env bash
# The firewall step. Wine's netsh is a stub that accepts every command and
# exits with 0, so the rule itself cannot be inspected here; what can be
# checked is the command the setup program and the uninstaller hand to netsh,
# which Wine's "fixme" channel prints argument by argument.
#   firewall_test.sh SETUP_EXE TONVALED_EXE 32|64
# The last argument is the setup's word size: the 32-bit setup installs under
# "Program Files (x86)" and writes the 32-bit registry view (Wow6432Node, as
# the prefix's native reg.exe sees it), the 64-bit one the native ones.
set -euo pipefail
setup=$1
tonvaled=$2
case "${3:-}" in
  32) program_files='Program Files (x86)' view='Wow6432Node\' ;;
  64) program_files='Program Files' view='' ;;
  *) echo "usage: $0 SETUP_EXE TONVALED_EXE 32|64" >&2; exit 2 ;;
esac
export WINEDEBUG=-all
work=$(mktemp -d)
drive_c="$WINEPREFIX/drive_c"
folder="$drive_c/$program_files/Tonvale"
key="HKLM\\Software\\${view}Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tonvale"

fail() { echo "FAIL: $*" >&2; exit 1; }

# Any service a test left behind: the commands reach it by name, so the
# build's own copy will do.
remove_leftovers() {
  wine "$tonvaled" /stop >/dev/null 2>&1 </dev/null || true
  wine "$tonvaled" /remove >/dev/null 2>&1 </dev/null || true
  rm -rf "$folder" "$drive_c/$program_files/Winamp"
  wine reg delete "$key" /f >/dev/null 2>&1 </dev/null || true
}
trap 'remove_leftovers; rm -rf "$work"' EXIT
remove_leftovers

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$folder"
printf '[COMMON]\r\nlisternPort=%s\r\nAnnounce=0\r\n' "$port" >"$folder/Tonvaled.ini"

rc=0
WINEDEBUG=fixme+netsh wine "$setup" /S /COMPONENTS=service >"$work/out" 2>"$work/err" </dev/null || rc=$?
[ "$rc" -eq 0 ] || { cat "$work/err" >&2; fail "setup exit code $rc"; }
program="L\"program=C:\\\\\\\\$program_files\\\\\\\\Tonvale\\\\\\\\Tonvaled.exe\""
add="fixme:netsh:wmain stub: .*netsh.exe\" L\"advfirewall\" L\"firewall\" L\"add\" L\"rule\" L\"name=Tonvale playback service\" L\"dir=in\" L\"action=allow\" $program"
grep -q -- "$add" "$work/err" || { cat "$work/err" >&2; fail "no inbound allow rule for the program was added"; }
# The service has no authentication: the rule admits the local subnet only.
grep -- "$add" "$work/err" | grep -q -- 'L"protocol=TCP" L"remoteip=localsubnet"' \
  || { grep -- "$add" "$work/err" >&2; fail "the rule admits more than the local subnet"; }
# Its second half, under the same name, admits multicast DNS for discovery.
grep -- "$add" "$work/err" | grep -q -- 'L"protocol=UDP" L"localport=5353" L"remoteip=localsubnet"' \
  || { grep -- "$add" "$work/err" >&2; fail "no rule admits multicast DNS from the local subnet"; }
grep -- 'L"add" L"rule"' "$work/err" | grep -q -i 'remoteip=any' && fail "a rule admits any remote address"
# An earlier rule of the same name goes first, so reinstalling adds no twin.
grep -n 'L"delete" L"rule" L"name=Tonvale playback service"' "$work/err" | head -1 | grep -q . \
  || fail "the old rule was not deleted before the add"
grep -q 'setup warning' "$work/err" && fail "netsh's 0 was reported as a failure"

# The uninstaller as Add/Remove Programs starts it: it goes on from a copy of
# itself and returns at once, so the test waits for its entry to go.
rc=0
WINEDEBUG=fixme+netsh wine "$folder/Uninstall.exe" /S >"$work/out" 2>"$work/err" </dev/null || rc=$?
[ "$rc" -eq 0 ] || { cat "$work/err" >&2; fail "uninstaller exit code $rc"; }
for _ in $(seq 100); do
  wine reg query "$key" >/dev/null 2>&1 </dev/null || break
  sleep 0.2
done
wine reg query "$key" >/dev/null 2>&1 </dev/null && fail "the uninstaller did not finish"
grep -q -- "L\"delete\" L\"rule\" L\"name=Tonvale playback service\" $program" "$work/err" \
  || { cat "$work/err" >&2; fail "the uninstaller did not delete the rule"; }
echo "firewall commands as expected"
