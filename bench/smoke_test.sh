#!/usr/bin/env bash
# Smoke run of the benchmark: bench.py --quick must finish, print every row of
# its table and write its JSON. The figures themselves are not judged.
#
#   bench/smoke_test.sh BUILD_DIR     (inside scripts/testenv.sh, as ctest runs)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: smoke_test.sh BUILD_DIR}" && pwd)
rm -f "$build/bench/bench.json"
out=$(timeout 170 python3 "$here/bench.py" --build "$build" --quick 2>&1)
rc=$?
echo "$out"
[ $rc -eq 0 ] || { echo "FAIL  bench.py exited with $rc"; exit 1; }
failed=0
for row in "Open ms" "Close ms" "Flush ms, 2 s queued" "Flush ms, 20 s queued" \
           "Queued ms at flush" "Position jitter ms (44.1k/16/2)" "Position went backwards" \
           "Final position - length ms" "Position jitter ms (192k/32/8)" \
           "CPU s/min service + wineserver / peer server, 44.1k/16/2" \
           "CPU s/min host / pacat, 44.1k/16/2" "CPU s/min wineserver, 44.1k/16/2" \
           "CPU s/min whole road (service + host + wineserver), 44.1k/16/2" \
           "CPU s/min service + wineserver / peer server, 192k/32/8" \
           "CPU s/min host / pacat, 192k/32/8" "CPU s/min wineserver, 192k/32/8" \
           "CPU s/min whole road (service + host + wineserver), 192k/32/8" "Road / floor" \
           "Wake-ups per s of audio, service (voluntary switches), 44.1k/16/2" \
           "Wake-ups per s of audio, service (voluntary switches), 192k/32/8" \
           "Gaps at 192k/32/8" "Played sum - bytes written, 192k/32/8" \
           "Service handles start / end" "Service private MiB start / end" \
           "Listening to sound again ms" \
           "Holes >= 1 ms in a seek's first 300 ms" "Holes >= 1 ms in a track's first 300 ms" \
           "Seek-to-sound ms, Flush reply to first sound" \
           "Open-to-sound ms, Open called to first sound"; do
  if ! grep -qF -- "$row" <<<"$out"; then echo "FAIL  row missing: $row"; failed=1; fi
done
python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert d["tonvale"]["open"]["open_ms"] and d["peer"]["open_ms"]' \
  "$build/bench/bench.json" || { echo "FAIL  bench.json lacks the figures"; failed=1; }
# The floor: every figure measured, and the road read against it.
python3 - "$build/bench/bench.json" <<'EOF' || { echo "FAIL  bench.json lacks the floor"; failed=1; }
import json, sys
d = json.load(open(sys.argv[1]))
f, repeats = d["floor"], d["repeats"]
for row, key in (("open", "open_ms"), ("open", "close_ms"), ("reset_2s", "reset_ms"),
                 ("reset_20s", "reset_ms")):
    assert len(f[row][key]) == repeats, (row, key, f[row][key])
for row in ("play_cd", "play_hi"):
    for key in ("cpu_player_s_per_min", "cpu_wineserver_s_per_min", "cpu_total_s_per_min",
                "switches_per_audio_s"):
        assert f[row][key] is not None, (row, key)
    assert d["tonvale"][row]["service_switches_per_audio_s"] is not None, row
for key in ("open_p50", "open_p99", "flush_2s_p50", "flush_2s_p99", "flush_20s_p50"):
    assert d["road_over_floor"][key] is not None, key
play = d["tonvale"]["play_cd"]
assert play["cpu_service_wineserver_s_per_min"] == (play["cpu_service_s_per_min"] +
                                                    play["cpu_wineserver_s_per_min"])
EOF
# The stretch rows: the road's and both floors' rows printed, every stretch
# played and found on the recording, and the road's time to sound read
# against the floor's.
for row in "first 300 ms, 5 seeks (count / longest ms), floor primed" \
           "first 300 ms, 3 opens (count / longest ms), floor primed" \
           "Seek-to-sound ms, Flush reply to first sound (p50 / p99), 5 seeks, floor primed" \
           "Open-to-sound ms, Open called to first sound (p50 / p99), 3 opens, floor primed"; do
  if ! grep -qF -- "$row" <<<"$out"; then echo "FAIL  row missing: $row"; failed=1; fi
done
python3 - "$build/bench/bench.json" <<'EOF' || { echo "FAIL  bench.json lacks the stretches"; failed=1; }
import json, sys
d = json.load(open(sys.argv[1]))
t, f = d["tonvale"], d["floor"]
for name, figures, count in (("road seeks", t["seeks"], 5), ("road tracks", t["tracks"], 3),
                             ("floor seeks plain", f["seeks_plain"], 5),
                             ("floor seeks primed", f["seeks_primed"], 5),
                             ("floor tracks plain", f["tracks_plain"], 3),
                             ("floor tracks primed", f["tracks_primed"], 3)):
    assert figures["done"] and figures["stretches"] == count, (name, figures)
    assert len(figures["to_sound_ms"]) == count, (name, "stretches not found on the recording",
                                                  figures)
for key in ("seek_to_sound_p50_more_ms", "seek_to_sound_p99_more_ms",
            "open_to_sound_p50_more_ms", "open_to_sound_p99_more_ms"):
    assert d["road_over_floor"][key] is not None, key
EOF
[ $failed -eq 0 ] && echo "ok    every row printed and bench.json written"
exit $failed
