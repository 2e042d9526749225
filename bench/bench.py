#!/usr/bin/env python3
"""Benchmark of the whole road (client -> out_tonvale.dll -> TCP -> Tonvaled.exe
-> wave-out -> PulseAudio null sink), side by side with PulseAudio's own
native TCP transport (a second pulseaudio with module-native-protocol-tcp on
a loopback port and its own null sink, fed by pacat).

    scripts/testenv.sh --build BUILD python3 bench/bench.py [--build BUILD] [--quick]

BUILD defaults to build/. Prints one table (metric, Tonvale, floor, road /
floor, PulseAudio TCP, target) and writes the figures to
BUILD/bench/bench.json. It asserts nothing; --quick runs every row with a few
repetitions and seconds of audio.

The floor is the platform's own cost: bench/tvfloor.exe, a bare wave-out
player in the same Wine with no network, timed right after each road row
(waveOutOpen and waveOutClose; waveOutReset with the same queue until every
buffer is back; steady playback of the same audio with the same queue, its own
CPU plus the wineserver's). "Road / floor" reads each road figure as a
multiple of it.

The client is bench/tvbench.exe, which loads the real out_tonvale.dll and
times Open, Close and Flush with the performance counter and samples
GetOutputTime every 20 ms. CPU figures are utime+stime from /proc/<pid>/stat
of the Linux processes Wine runs the programs in (found by their temporary
folder in /proc/*/cmdline), taken over the streaming run; the service's row
counts the wineserver's share with it, since part of the wave-out work
happens there. Wake-ups are the voluntary context switches of every thread
of the service's process over the streaming run (of the floor's from its
line "playing" on), from /proc/<pid>/task/*/status, per second of audio.
The peer's Open
and Flush figures come from libpulse-simple through ctypes: pa_simple_new
(connect and create the stream) and pa_simple_flush with the same amount
queued (tlength set to it).

Two rows watch the road over minutes. Keeping up: a continuous 192 kHz,
32-bit, 8-channel signal played by tvhost into a null sink of that very
format, whose monitor is recorded and compared with the signal frame by
frame; a silence or a jump inside the stream is a gap, and the frame proxy of
tests/road counts the bytes written and reported played. Flat: the soak road
of tests/soak (seek every 5 s) with the service's handles and memory sampled
by tvfigures. The second runs on a service of its own beside the rows before
the first, so that the benchmark stays within twenty minutes; the first then
has the machine to itself.

The resume row comes after the long run, on the default null sink: the
service is killed mid-file and a new one started on its port 1 s later, and
the recording tells how long after the new service listens the sound comes
back.

The stretch rows follow it on the same sink: tvbench through the service,
then tvfloor plain and primed, each play a noise file with a seek every
500 ms (100 of them), then as many short tracks (20), each from a new place
in the file. The recording, put on one clock with the players' performance
counters (StampedRecorder), tells the time from each Flush's reply (the
floor's waveOutReset) or Open's call to the first sound of the new place, and
every silence or skip in the first 300 ms of each stretch. They add about
three and a half minutes.

This file runs the rows in that order; the modules beside it do the work:
watch (the programs' CPU, wake-ups and output), road_rows, floor_rows, peer,
keeping_up (and its gaps), suite_rows (flat and resume), stretch_clock and
stretches, report (the table), with figures and suite (the test suite's
helpers) shared.
"""
import argparse
import json
import os
import shutil
import sys
import tempfile

sys.dont_write_bytecode = True  # no cache folders in the source tree
from floor_rows import (Floor, measure_floor_open, measure_floor_play,  # noqa: E402
                        measure_floor_reset)
from keeping_up import HI_BITS, HI_CHANNELS, HI_RATE, measure_keeping_up  # noqa: E402
from peer import Peer  # noqa: E402
from report import road_over_floor, table  # noqa: E402
from road_rows import Road, measure_flush, measure_open, measure_play  # noqa: E402
from stretch_clock import STRETCH_EVERY_MS  # noqa: E402
from stretches import measure_stretches  # noqa: E402
from suite_rows import FlatRun, measure_resume  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(os.path.dirname(HERE), "build"))
    parser.add_argument("--quick", action="store_true", help="seconds, not minutes")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    repeats, seconds = (3, 2) if args.quick else (50, 60)
    keeping_up_seconds, flat_minutes = (10, 0.5) if args.quick else (300, 10)
    resume_repeats = 1 if args.quick else 10
    stretch_seeks, stretch_tracks = (5, 3) if args.quick else (100, 20)
    results = {"quick": args.quick, "repeats": repeats, "seconds": seconds}
    long_folder = tempfile.mkdtemp(prefix="tvbench_long_")
    road = Road(build)
    floor = Floor(build)
    peer = Peer()
    try:
        tv, pr, fl = {}, {}, {}
        # The long run takes longer than the rows before the recorded one
        # together, so it plays beside them, on a service of its own (the
        # wineserver's CPU includes it); the recorded row, which needs the
        # machine to itself, comes after it.
        print("bench: %g min with a seek every 5 s, on a service of its own, from here on" %
              flat_minutes, flush=True)
        flat = FlatRun(build, flat_minutes, lambda text: print(text, flush=True))
        flat.opened.wait(60)
        # Each floor row runs right after its road row (the resets after both
        # flushes), beside the same long run, so that the two share the
        # machine's and the wineserver's load.
        print("bench: Open x%d" % repeats, flush=True)
        tv["open"] = measure_open(road, repeats)
        fl["open"] = measure_floor_open(floor, repeats)
        pr["open_ms"] = peer.measure_open(repeats)
        print("bench: Flush x%d with 2 s and 20 s queued" % repeats, flush=True)
        tv["flush_2s"] = measure_flush(road, 2000, repeats)
        tv["flush_20s"] = measure_flush(road, 20000, repeats)
        fl["reset_2s"] = measure_floor_reset(floor, 2000, repeats)
        fl["reset_20s"] = measure_floor_reset(floor, 20000, repeats)
        pr["flush_2s_ms"] = peer.measure_flush(2000, repeats)
        pr["flush_20s_ms"] = peer.measure_flush(20000, repeats)
        print("bench: %d s at 44.1 kHz/16/2 and at 192 kHz/32/8" % seconds, flush=True)
        for key, audio in (("cd", (44100, 2, 16)), ("hi", (HI_RATE, HI_CHANNELS, HI_BITS))):
            tv["play_" + key] = measure_play(road, seconds, *audio)
            tv["play_" + key]["beside_long_run"] = flat.thread.is_alive()
            fl["play_" + key] = measure_floor_play(floor, seconds, *audio)
            fl["play_" + key]["beside_long_run"] = flat.thread.is_alive()
            pr["play_" + key] = peer.measure_play(seconds, *audio)
        print("bench: waiting for the long run", flush=True)
        tv["flat"] = flat.figures()
        # Recorded on the default null sink, which the long run no longer plays to.
        print("bench: the service restarted mid-track x%d" % resume_repeats, flush=True)
        tv["resume"] = measure_resume(build, resume_repeats)
        print("bench: %d seeks and %d opens, %d ms apart, by the road and the floor plain and "
              "primed, recorded" % (stretch_seeks, stretch_tracks, STRETCH_EVERY_MS), flush=True)
        stretches = measure_stretches(road, floor, stretch_seeks, stretch_tracks, long_folder)
        tv["seeks"], tv["tracks"] = stretches["road_seeks"], stretches["road_tracks"]
        for key in ("seeks_plain", "seeks_primed", "tracks_plain", "tracks_primed"):
            fl[key] = stretches["floor_" + key]
        print("bench: %d s of 192 kHz/32/8 recorded" % keeping_up_seconds, flush=True)
        tv["keeping_up"] = measure_keeping_up(build, keeping_up_seconds, long_folder,
                                              lambda text: print(text, flush=True))
        results["tonvale"], results["peer"], results["floor"] = tv, pr, fl
        results["road_over_floor"] = road_over_floor(tv, fl)
    finally:
        road.close()
        floor.close()
        peer.close()
        shutil.rmtree(long_folder, ignore_errors=True)
    text = table(results)
    print(text)
    out_dir = os.path.join(build, "bench")
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "bench.json"), "w") as f:
        json.dump(results, f, indent=1)
    with open(os.path.join(out_dir, "bench.txt"), "w") as f:
        f.write(text + "\n")
    print("bench: figures in %s" % os.path.join(out_dir, "bench.json"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
