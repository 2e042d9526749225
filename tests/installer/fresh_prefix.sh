#!/usr/bin/env bash
# A Wine prefix of the setup tests' own, made fresh for every test run, so
# that the setup program meets a machine that has never seen Tonvale.
#   fresh_prefix.sh start PREFIX   remove, create and boot it
#   fresh_prefix.sh stop PREFIX    end its wineserver (and its processes)
set -euo pipefail
action=$1
export WINEPREFIX=$2
export WINEDEBUG=-all
case "$action" in
  start)
    if [ -d "$WINEPREFIX" ]; then wineserver -k >/dev/null 2>&1 || true; fi
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    # Detached from our stdio, so that Wine's background processes do not
    # hold ctest's pipes open.
    wineserver -p >/dev/null 2>&1 </dev/null
    wine wineboot >/dev/null 2>&1 </dev/null
    wine reg query "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion" /v CurrentVersion \
      >/dev/null 2>&1 </dev/null || { echo "the prefix did not boot" >&2; exit 1; }
    ;;
  stop)
    wineserver -k >/dev/null 2>&1 || true
    ;;
  *)
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
    ;;
esac
