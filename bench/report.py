"""The benchmark's report: every row of the table from the figures, the road
read against the floor, and the table's notes."""
from figures import difference, percentile, plus, ratio
from stretch_clock import STRETCH_EVERY_MS, STRETCH_WINDOW_MS


def resume_rows(r):
    heard = r.get("listen_to_sound_ms") or []
    kept = r.get("kept_open_ms") or []
    lost = r.get("lost_ms") or []
    label = "%d of %d restarts" % (len(lost), r.get("runs", 0)) if r else "-"
    again = spread(heard) if heard else "-"
    if kept:
        again += " (%d more kept open by Wine: %s)" % (
            len(kept), ", ".join("%.0f" % k for k in kept))
    return [("Listening to sound again ms, service restarted mid-track (p50 / p99) [6]",
             again, "-", "-"),
            ("Unheard ms around the restart (p50 / p99), %s" % label,
             spread(lost) if lost else "-", "-", "<= 100")]


def stretch_rows(t, f, r):
    """Holes at the start of each stretch and the time to its first sound:
    the road beside the plain floor, then the primed floor on a row of its own."""
    seeks, tracks = t["seeks"], t["tracks"]
    label = {"seeks": "%d seeks" % seeks["stretches"], "tracks": "%d opens" % tracks["stretches"]}

    def holes(figures):
        text = "%d / %s" % (len(figures["holes_ms"]), fmt(figures["longest_ms"]))
        if figures["unheard"] or figures["short"]:
            text += " (%d unheard, %d short)" % (figures["unheard"], figures["short"])
        return text

    def over(key):
        return "%s / %s ms" % (signed(r[key + "_p50_more_ms"]), signed(r[key + "_p99_more_ms"]))

    rows = []
    for kind, what in (("seeks", "seek"), ("tracks", "track")):
        name = "Holes >= 1 ms in a %s's first %d ms, %s (count / longest ms)" % (
            what, STRETCH_WINDOW_MS, label[kind])
        rows += [(name + " [7]", holes(t[kind]), "-", "0", holes(f[kind + "_plain"]), "-"),
                 (name + ", floor primed", "-", "-", "-", holes(f[kind + "_primed"]), "-")]
    for kind, name, key in (("seeks", "Seek-to-sound ms, Flush reply to first sound", "seek"),
                            ("tracks", "Open-to-sound ms, Open called to first sound", "open")):
        name += " (p50 / p99), " + label[kind]
        rows += [(name + " [7]", spread(t[kind]["to_sound_ms"]), "-", "<= floor + 10",
                  spread(f[kind + "_plain"]["to_sound_ms"]), over(key + "_to_sound")),
                 (name + ", floor primed", "-", "-", "-",
                  spread(f[kind + "_primed"]["to_sound_ms"]), "-")]
    return rows


def signed(value):
    return "-" if value is None else "%+.1f" % value


def fmt(value, digits=2):
    if value is None:
        return "-"
    if isinstance(value, str):
        return value
    return ("%%.%df" % digits) % value


def spread(values):
    return "%s / %s" % (fmt(percentile(values, 50)), fmt(percentile(values, 99)))


def keeping_up_rows(k):
    seconds = k.get("seconds")
    label = "%s s" % seconds if seconds is not None else "-"
    silences, jumps = k.get("silences_ms"), k.get("jumps_frames")
    gaps = "-" if k.get("gaps") is None else "%d (%d silences, %d jumps)" % (
        k["gaps"], len(silences), len(jumps))
    difference = (k["played_bytes"] - k["written_bytes"]) if "written_bytes" in k else None
    return [
        ("Gaps at 192k/32/8 over %s of signal [3]" % label, gaps, "-", "0"),
        ("Played sum - bytes written, 192k/32/8", fmt(difference, 0), "-", "0"),
    ]


def flat_rows(f):
    minutes = f.get("minutes")
    label = "%g min, seek every 5 s" % minutes if minutes is not None else "-"
    if "handles_start" not in f:
        return [("Service handles start / end, %s" % label, "-", "-", "within 10"),
                ("Service private MiB start / end, %s" % label, "-", "-", "within 1 MiB")]
    return [
        ("Service handles start / end, %s [4]" % label,
         "%d / %d" % (f["handles_start"], f["handles_end"]), "-", "within 10"),
        ("Service private MiB start / end, %s [4]" % label,
         "%.2f / %.2f (%.2f at 4 s)" % (f["private_start"] / 1048576.0,
                                        f["private_end"] / 1048576.0,
                                        f["private_first"] / 1048576.0), "-", "within 1 MiB"),
    ]


def road_over_floor(t, f):
    """Every road figure that has a floor counterpart, as a multiple of it."""
    out = {}
    for name, road, floor in (("open", t["open"]["open_ms"], f["open"]["open_ms"]),
                              ("close", t["open"]["close_ms"], f["open"]["close_ms"]),
                              ("flush_2s", t["flush_2s"]["flush_ms"], f["reset_2s"]["reset_ms"]),
                              ("flush_20s", t["flush_20s"]["flush_ms"],
                               f["reset_20s"]["reset_ms"])):
        for p in (50, 99):
            out["%s_p%d" % (name, p)] = ratio(percentile(road, p), percentile(floor, p))
    for name, kind in (("seek_to_sound", "seeks"), ("open_to_sound", "tracks")):
        road, floor = t[kind]["to_sound_ms"], f[kind + "_plain"]["to_sound_ms"]
        for p in (50, 99):
            out["%s_p%d_more_ms" % (name, p)] = difference(percentile(road, p),
                                                          percentile(floor, p))
    for label in ("cd", "hi"):
        road, floor = t["play_" + label], f["play_" + label]
        out["cpu_service_wineserver_" + label] = ratio(road["cpu_service_wineserver_s_per_min"],
                                                       floor["cpu_total_s_per_min"])
        out["cpu_wineserver_" + label] = ratio(road["cpu_wineserver_s_per_min"],
                                               floor["cpu_wineserver_s_per_min"])
        out["cpu_whole_road_" + label] = ratio(whole_road_cpu(road), floor["cpu_total_s_per_min"])
        out["switches_" + label] = ratio(road.get("service_switches_per_audio_s"),
                                         floor.get("switches_per_audio_s"))
    return out


def whole_road_cpu(play):
    return plus(play["cpu_service_wineserver_s_per_min"], play["cpu_host_s_per_min"])


def times(value):
    return "-" if value is None else "%.1fx" % value


def sum_of(total, first, second):
    if total is None:
        return "-"
    return "%.3f (%s + %s)" % (total, fmt(first, 3), fmt(second, 3))


def table(results):
    t, p, f, r = results["tonvale"], results["peer"], results["floor"], results["road_over_floor"]
    # (metric, Tonvale, PulseAudio TCP, target[, floor, road / floor])
    rows = [
        ("Open ms (p50 / p99)", spread(t["open"]["open_ms"]), spread(p["open_ms"]) + " [1]",
         "p99 <= 20", spread(f["open"]["open_ms"]),
         "%s / %s" % (times(r["open_p50"]), times(r["open_p99"]))),
        ("Close ms (p50 / p99)", spread(t["open"]["close_ms"]), "-", "-",
         spread(f["open"]["close_ms"]), "%s / %s" % (times(r["close_p50"]), times(r["close_p99"]))),
        ("Flush ms, 2 s queued (p50 / p99)", spread(t["flush_2s"]["flush_ms"]),
         spread(p["flush_2s_ms"]) + " [2]", "p99 <= 10", spread(f["reset_2s"]["reset_ms"]),
         "%s / %s" % (times(r["flush_2s_p50"]), times(r["flush_2s_p99"]))),
        ("Flush ms, 20 s queued (p50 / p99)", spread(t["flush_20s"]["flush_ms"]),
         spread(p["flush_20s_ms"]) + " [2]", "-", spread(f["reset_20s"]["reset_ms"]),
         "%s / %s" % (times(r["flush_20s_p50"]), times(r["flush_20s_p99"]))),
        ("Queued ms at flush, 2 s / 20 s (median)",
         "%s / %s" % (fmt(percentile(t["flush_2s"]["queued_ms"], 50), 0),
                      fmt(percentile(t["flush_20s"]["queued_ms"], 50), 0)), "-", "2000 / 20000"),
    ]
    cd, hi = t["play_cd"], t["play_hi"]
    rows += [
        ("Position jitter ms (44.1k/16/2)", fmt(cd.get("jitter_ms")), "-", "<= 15"),
        ("Position went backwards (times)", str(cd["backwards"]), "-", "0"),
        ("Final position - length ms", fmt(cd.get("final_error_ms"), 0), "-", "|x| <= 20"),
        ("Position jitter ms (192k/32/8)", fmt(hi.get("jitter_ms")), "-", "-"),
        ("Final position - length ms (192k/32/8)", fmt(hi.get("final_error_ms"), 0), "-", "-"),
    ]
    for label, key, theirs in (("44.1k/16/2", "cd", p["play_cd"]),
                               ("192k/32/8", "hi", p["play_hi"])):
        ours, floor = t["play_" + key], f["play_" + key]
        ours_sum = sum_of(ours["cpu_service_wineserver_s_per_min"],
                          ours["cpu_service_s_per_min"], ours["cpu_wineserver_s_per_min"])
        floor_sum = sum_of(floor["cpu_total_s_per_min"], floor["cpu_player_s_per_min"],
                           floor["cpu_wineserver_s_per_min"])
        rows += [
            ("CPU s/min service + wineserver / peer server, %s" % label, ours_sum,
             fmt(theirs["cpu_server_s_per_min"], 3),
             "<= 0.3 and <= peer" if label == "44.1k/16/2" else "<= peer", floor_sum,
             times(r["cpu_service_wineserver_" + key])),
            ("CPU s/min host / pacat, %s" % label, fmt(ours["cpu_host_s_per_min"], 3),
             fmt(theirs["cpu_pacat_s_per_min"], 3), "-"),
            ("CPU s/min wineserver, %s" % label, fmt(ours["cpu_wineserver_s_per_min"], 3), "-",
             "-", fmt(floor["cpu_wineserver_s_per_min"], 3), times(r["cpu_wineserver_" + key])),
            ("CPU s/min service + wineserver / peer server+pacat, %s" % label,
             fmt(ours["cpu_service_wineserver_s_per_min"], 3),
             fmt(theirs["cpu_total_s_per_min"], 3), "-"),
            ("CPU s/min whole road (service + host + wineserver), %s" % label,
             fmt(whole_road_cpu(ours), 3), fmt(theirs["cpu_total_s_per_min"], 3), "-",
             fmt(floor["cpu_total_s_per_min"], 3), times(r["cpu_whole_road_" + key])),
            ("Wake-ups per s of audio, service (voluntary switches), %s" % label,
             fmt(ours.get("service_switches_per_audio_s"), 0), "-", "<= 1.5x floor",
             fmt(floor.get("switches_per_audio_s"), 0), times(r.get("switches_" + key))),
        ]
    rows += keeping_up_rows(t.get("keeping_up") or {}) + flat_rows(t.get("flat") or {})
    rows += resume_rows(t.get("resume") or {})
    rows += stretch_rows(t, f, r)
    header = ("Metric", "Tonvale", "Floor [5]", "Road / floor", "PulseAudio TCP", "Target")
    rows = [header] + [(row[0], row[1]) + (tuple(row[4:6]) if len(row) > 4 else ("-", "-")) +
                       (row[2], row[3]) for row in rows]
    widths = [max(len(str(row[i])) for row in rows) for i in range(len(header))]
    lines = []
    for row in rows:
        lines.append("  ".join(str(c).ljust(w) for c, w in zip(row, widths)).rstrip())
    lines.insert(1, "-" * len(lines[0]))
    lines.append("[1] pa_simple_new: connects and creates a stream (Tonvale's Open reuses "
                 "its connection).")
    lines.append("[2] pa_simple_flush with the stream's tlength set to the same queue.")
    lines.append("[3] alone; the long run of the last two rows plays on a second service "
                 "beside every row above this one.")
    lines.append("[4] the start is taken after a minute's warm-up in runs of three minutes "
                 "or more.")
    lines.append("[5] tvfloor, a bare wave-out player in the same Wine with no network: "
                 "waveOutOpen + waveOutClose (road and floor pause 5 ms between a close and "
                 "the next open, as between two tracks: Wine opens faster back to back, a "
                 "path no service reaches), waveOutReset until every buffer is back, its own "
                 "CPU + the wineserver's while it plays the same audio with the same queue. "
                 "Road / floor: p50 over p50, p99 over p99.")
    lines.append("[6] the service killed 1.5 s into a file and a new one started on its port "
                 "1 s later: the listener's silence less the time from the kill to the new "
                 "service's listening socket. In about one kill in ninety the wineserver keeps "
                 "the killed process's end of the connection open (it still acknowledges what "
                 "the plug-in sends); the plug-in then sees no end and puts the stream back "
                 "after its 15 s silence rule. Such restarts are shown apart.")
    lines.append("[7] a 6 s noise file played from a new place every %d ms, by a Flush (seeks) "
                 "or by Close and Open (opens), recorded on the null sink's monitor, with the "
                 "player's times and the recording put on one clock. Holes: silence or file "
                 "skipped, 1 ms or more, in the first %d ms of each stretch (unheard: none of it "
                 "heard; short: it stopped early). Floor: tvfloor plays at once (plain) or holds "
                 "the device paused after each open or reset until 60 ms are queued, as the "
                 "service does (primed). Road / floor: the road's ms above the plain floor's (a "
                 "ratio would not fit: the recording places a sound to within a few ms, so a "
                 "sound that starts at once reads about -3 ms)." % (STRETCH_EVERY_MS,
                                                                STRETCH_WINDOW_MS))
    return "\n".join(lines)
