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
"""
import argparse
import array
import bisect
import contextlib
import ctypes
import io
import json
import math
import mmap
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # no cache folders in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "soak"))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "host"))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "road"))
import road_test  # noqa: E402
import soak_road  # noqa: E402
from e2e_test import (GAIN, DaemonCopy, end_process, free_port, pids_running,  # noqa: E402
                      sink_sample, wait_for_port, win_path, write_ini)
CLK_TCK = os.sysconf("SC_CLK_TCK")
BLOCK_FRAMES = 576
ROAD_BUFF_MS = 2000  # the plug-in's default buffer, kept queued by road and floor alike


def cpu_seconds(pid):
    """utime+stime of a Linux process, or None once it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLK_TCK
    except (OSError, IndexError):
        return None


def cpu_spent(pid, before):
    """utime+stime of a Linux process since `before`, or None when either
    reading is missing (the process was not found, or has ended since)."""
    after = cpu_seconds(pid) if pid and before is not None else None
    return None if after is None else after - before


class ThreadSwitches:
    """Voluntary context switches of every thread of one Linux process over a
    span, from /proc/PID/task/*/status: a wake-up each. Each thread counts
    from its reading at start() (from 0 when it was born later) to its last
    reading, so a thread that ends keeps what it had when last read."""

    def __init__(self):
        self.pid = None
        self.base = None
        self.last = {}

    def start(self, pid):
        self.pid = pid
        self.last = {}
        self.read()
        self.base = dict(self.last)

    def read(self):
        if self.pid is None:
            return
        try:
            tids = os.listdir("/proc/%d/task" % self.pid)
        except OSError:
            return
        for tid in tids:
            try:
                with open("/proc/%d/task/%s/status" % (self.pid, tid)) as f:
                    for line in f:
                        if line.startswith("voluntary_ctxt_switches:"):
                            self.last[tid] = int(line.split()[1])
                            break
            except (OSError, ValueError):
                pass

    def total(self):
        if self.base is None:
            return None
        return sum(count - self.base.get(tid, 0) for tid, count in self.last.items())


def wait_for_pid(folder, exe_name, seconds=20):
    deadline = time.time() + seconds
    while time.time() < deadline:
        found = pids_running(folder, exe_name)
        if found:
            return found[0]
        time.sleep(0.02)
    return None


def wineserver_pid():
    """The wineserver of this environment's prefix (other prefixes have their own)."""
    prefix = ("WINEPREFIX=%s" % os.environ.get("WINEPREFIX", "")).encode()
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/comm" % entry) as f:
                    if not f.read().startswith("wineserver"):
                        continue
                with open("/proc/%s/environ" % entry, "rb") as f:
                    if prefix in f.read().split(b"\0"):
                        return int(entry)
            except OSError:
                pass
    return None


def percentile(values, p):
    """Nearest rank."""
    if not values:
        return None
    ordered = sorted(values)
    rank = max(1, int(-(-p * len(ordered) // 100)))
    return ordered[min(rank, len(ordered)) - 1]


def run_watched(command, folder, exe_name, timeout, watch=None):
    """Runs a Windows program from `folder` under Wine to its end; returns its
    output lines, its own CPU seconds (the last reading before it ended) and
    the wineserver's CPU seconds over the run. `watch(pid, out_path)`, if
    given, is called at every reading while the program runs."""
    ws = wineserver_pid()
    ws_before = cpu_seconds(ws) if ws else None
    out_path = os.path.join(folder, exe_name + ".txt")
    with open(out_path, "w") as out:
        child = subprocess.Popen(["wine"] + command, cwd=folder, stdin=subprocess.DEVNULL,
                                 stdout=out, stderr=subprocess.STDOUT)
        pid = wait_for_pid(folder, exe_name, 30)
        cpu = 0.0
        deadline = time.time() + timeout
        while child.poll() is None:
            reading = cpu_seconds(pid) if pid else None
            if reading is not None:
                cpu = reading
            if watch and pid:
                watch(pid, out_path)
            if time.time() > deadline:
                child.kill()
                break
            time.sleep(0.05)
        child.wait()
    wineserver = cpu_spent(ws, ws_before)
    with open(out_path) as f:
        lines = [line.strip() for line in f]
    return lines, cpu, wineserver


class Road:
    """A temporary folder with copies of Tonvaled, the plug-in and the client."""

    def __init__(self, build):
        self.folder = tempfile.mkdtemp(prefix="tvbench_")
        self.port = free_port()
        self.service_dir = os.path.join(self.folder, "service")
        self.plugin_dir = os.path.join(self.folder, "plugins")
        os.makedirs(self.plugin_dir)
        self.plugin = os.path.join(self.plugin_dir, "out_tonvale.dll")
        shutil.copy(os.path.join(build, "plugin", "out_tonvale.dll"), self.plugin)
        self.client = os.path.join(self.folder, "tvbench.exe")
        shutil.copy(os.path.join(build, "bench", "tvbench.exe"), self.client)
        self.daemon = DaemonCopy(os.path.join(build, "Tonvaled.exe"), self.service_dir,
                                 self.port)
        self.service_pid = wait_for_pid(self.service_dir, "Tonvaled.exe")

    def run(self, buff_ms, *arguments, timeout=900):
        """Runs the client to its end; returns its output lines, the CPU
        seconds of the service, the client and the wineserver over the run,
        and the service's voluntary context switches over it."""
        write_ini(os.path.join(self.plugin_dir, "out_tonvale.ini"),
                  ["ServerAddr=127.0.0.1", "ServerPort=%d" % self.port, "BuffSize=%d" % buff_ms])
        service_before = cpu_seconds(self.service_pid) if self.service_pid else None
        switches = ThreadSwitches()
        if self.service_pid:
            switches.start(self.service_pid)
        lines, client_cpu, wineserver = run_watched(
            [self.client, "--plugin", win_path(self.plugin)] + [str(a) for a in arguments],
            self.folder, "tvbench.exe", timeout, watch=lambda pid, out_path: switches.read())
        switches.read()
        service = cpu_spent(self.service_pid, service_before)
        return lines, {"service": service, "host": client_cpu, "wineserver": wineserver}, \
            switches.total()

    def run_stamped(self, *arguments, timeout=600):
        """Runs the client at the plug-in's default buffer with its output
        stamped as it arrives (run_stamped)."""
        write_ini(os.path.join(self.plugin_dir, "out_tonvale.ini"),
                  ["ServerAddr=127.0.0.1", "ServerPort=%d" % self.port,
                   "BuffSize=%d" % ROAD_BUFF_MS])
        return run_stamped([self.client, "--plugin", win_path(self.plugin)] +
                           [str(a) for a in arguments], self.folder, timeout)

    def close(self):
        self.daemon.close()
        shutil.rmtree(self.folder, ignore_errors=True)


def numbers(lines, key, index=1):
    return [float(line.split()[index]) for line in lines if line.startswith(key + " ")]


def measure_open(road, count):
    lines, _, _ = road.run(2000, "open", count)
    return {"open_ms": numbers(lines, "open"), "close_ms": numbers(lines, "close")}


def measure_flush(road, buff_ms, count):
    lines, _, _ = road.run(buff_ms, "flush", count)
    return {"flush_ms": numbers(lines, "flush"), "queued_ms": numbers(lines, "flush", 3)}


def position_figures(lines):
    samples = [(float(l.split()[1]), int(l.split()[2])) for l in lines if l.startswith("sample ")]
    final = [l.split() for l in lines if l.startswith("final ")]
    result = {"samples": len(samples)}
    if final:
        result["final_ms"] = int(final[0][1])
        result["length_ms"] = int(final[0][3])
        result["written_bytes"] = int(final[0][5])
        result["final_error_ms"] = result["final_ms"] - result["length_ms"]
    result["backwards"] = sum(1 for a, b in zip(samples, samples[1:]) if b[1] < a[1])
    # The steady part: from the first movement to the last 100 ms before the end.
    end = result.get("final_ms", 0) - 100
    steady = [(t, p) for t, p in samples if 0 < p < end]
    if len(steady) >= 3:
        n = len(steady)
        mt = sum(t for t, _ in steady) / n
        mp = sum(p for _, p in steady) / n
        slope = (sum((t - mt) * (p - mp) for t, p in steady) /
                 sum((t - mt) ** 2 for t, _ in steady))
        result["jitter_ms"] = max(abs(p - (mp + slope * (t - mt))) for t, p in steady)
        result["slope"] = slope
    return result


def measure_play(road, seconds, rate, channels, bits):
    lines, cpu, switches = road.run(ROAD_BUFF_MS, "play", seconds, rate, channels, bits,
                                    timeout=seconds * 3 + 60)
    figures = position_figures(lines)
    figures["service_switches_per_audio_s"] = None if switches is None else switches / seconds
    minutes = seconds / 60.0
    figures.update({"cpu_%s_s_per_min" % k: (v / minutes if v is not None else None)
                    for k, v in cpu.items()})
    # The service's wave-out work is partly done in the wineserver.
    figures["cpu_service_wineserver_s_per_min"] = plus(figures["cpu_service_s_per_min"],
                                                       figures["cpu_wineserver_s_per_min"])
    return figures


# ---- the floor: a bare wave-out player in the same Wine, no network ----

class Floor:
    """A temporary folder with a copy of tvfloor.exe, run once per row."""

    def __init__(self, build):
        self.folder = tempfile.mkdtemp(prefix="tvfloor_")
        self.player = os.path.join(self.folder, "tvfloor.exe")
        self.switches = None
        shutil.copy(os.path.join(build, "bench", "tvfloor.exe"), self.player)

    def run(self, *arguments, timeout=300):
        """The player's one line of figures as {name: [values]}, its CPU
        seconds over the whole process, the wineserver's over the run, and the
        player's voluntary context switches from the line "playing" on (after
        Wine's start-up and the warm-up open) to its end."""
        switches = ThreadSwitches()

        def watch(pid, out_path):
            if switches.base is not None:
                switches.read()
                return
            with open(out_path) as out:
                if "playing" in out.read().split("\n"):
                    switches.start(pid)

        lines, cpu, wineserver = run_watched([self.player] + [str(a) for a in arguments],
                                             self.folder, "tvfloor.exe", timeout, watch)
        self.switches = switches.total()
        figures = {}
        for line in lines:
            if line.startswith("error"):
                print("bench: tvfloor %s: %s" % (arguments[0], line), flush=True)
            elif "=" in line:
                for item in line.split():
                    name, _, values = item.partition("=")
                    figures[name] = [float(v) for v in values.split(",") if v]
        return figures, cpu, wineserver

    def run_stamped(self, *arguments, timeout=600):
        """Runs the player with its output stamped as it arrives (run_stamped)."""
        return run_stamped([self.player] + [str(a) for a in arguments], self.folder, timeout)

    def close(self):
        shutil.rmtree(self.folder, ignore_errors=True)


def measure_floor_open(floor, count):
    figures, _, _ = floor.run("open", count)
    return {"open_ms": figures.get("open_ms", []), "close_ms": figures.get("close_ms", [])}


def measure_floor_reset(floor, queued_ms, count):
    figures, _, _ = floor.run("reset", count, queued_ms)
    return {"reset_ms": figures.get("reset_ms", []), "queued_ms": queued_ms,
            "blocks": (figures.get("blocks") or [None])[0]}


def measure_floor_play(floor, seconds, rate, channels, bits):
    """The player's CPU over its playback (its own figure, which leaves out
    Wine's start-up as the running service's does) and the wineserver's over
    the whole run, as for the road."""
    figures, process, wineserver = floor.run("play", seconds, rate, channels, bits, ROAD_BUFF_MS,
                                             timeout=seconds * 3 + 60)
    minutes = seconds / 60.0
    player = (figures.get("cpu_s") or [None])[0]
    result = {"cpu_player_s_per_min": None if player is None else player / minutes,
              "cpu_process_s_per_min": process / minutes,
              "cpu_wineserver_s_per_min": None if wineserver is None else wineserver / minutes,
              "wall_ms": (figures.get("wall_ms") or [None])[0],
              "bytes": (figures.get("bytes") or [None])[0], "queued_ms": ROAD_BUFF_MS,
              "switches_per_audio_s": None if floor.switches is None else
              floor.switches / seconds}
    result["cpu_total_s_per_min"] = plus(result["cpu_player_s_per_min"],
                                         result["cpu_wineserver_s_per_min"])
    return result


def plus(a, b):
    return None if a is None or b is None else a + b


class Peer:
    """A second PulseAudio server reachable only by TCP on a loopback port."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="tvbench_peer_")
        self.port = free_port()
        env = dict(os.environ, XDG_RUNTIME_DIR=self.folder, HOME=self.folder)
        env.pop("PULSE_SERVER", None)
        self.log = open(os.path.join(self.folder, "pulseaudio.log"), "w")
        self.server = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
             "--disallow-exit", "--log-target=stderr",
             "--load=module-null-sink sink_name=peer_sink rate=44100",
             "--load=module-native-protocol-tcp port=%d listen=127.0.0.1 auth-anonymous=1"
             % self.port],
            env=env, stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)
        if not wait_for_port(self.port, 20):
            raise SystemExit("bench: the peer PulseAudio did not listen")
        self.address = "tcp:127.0.0.1:%d" % self.port
        self.simple = ctypes.CDLL("libpulse-simple.so.0")
        self.simple.pa_simple_new.restype = ctypes.c_void_p
        self.simple.pa_simple_new.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int,
                                              ctypes.c_char_p, ctypes.c_char_p, ctypes.c_void_p,
                                              ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
        for name in ("pa_simple_write", "pa_simple_flush", "pa_simple_free"):
            getattr(self.simple, name).restype = ctypes.c_int
        self.simple.pa_simple_write.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                                ctypes.c_void_p]
        self.simple.pa_simple_flush.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
        self.simple.pa_simple_free.argtypes = [ctypes.c_void_p]
        self.simple.pa_simple_free.restype = None

    def new_stream(self, queue_bytes):
        class SampleSpec(ctypes.Structure):
            _fields_ = [("format", ctypes.c_int), ("rate", ctypes.c_uint32),
                        ("channels", ctypes.c_uint8)]

        class BufferAttr(ctypes.Structure):
            _fields_ = [("maxlength", ctypes.c_uint32), ("tlength", ctypes.c_uint32),
                        ("prebuf", ctypes.c_uint32), ("minreq", ctypes.c_uint32),
                        ("fragsize", ctypes.c_uint32)]

        sample_format = SampleSpec(3, 44100, 2)  # PA_SAMPLE_S16LE
        attr = BufferAttr(queue_bytes, queue_bytes, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF)
        error = ctypes.c_int(0)
        stream = self.simple.pa_simple_new(self.address.encode(), b"tvbench", 1, b"peer_sink",
                                           b"bench", ctypes.byref(sample_format), None,
                                           ctypes.byref(attr), ctypes.byref(error))
        if not stream:
            raise SystemExit("bench: pa_simple_new failed (%d)" % error.value)
        return stream

    def measure_open(self, count):
        times = []
        for _ in range(count):
            start = time.perf_counter()
            stream = self.new_stream(2 * 176400)
            times.append((time.perf_counter() - start) * 1000)
            self.simple.pa_simple_free(stream)
        return times

    def measure_flush(self, queued_ms, count):
        queue_bytes = queued_ms * 176400 // 1000 // 4 * 4
        stream = self.new_stream(queue_bytes)
        block = os.urandom(BLOCK_FRAMES * 4)
        times = []
        for _ in range(count):
            # A full queue: write the queue's length, let it play a moment, top it up.
            for _ in range(queue_bytes // len(block)):
                self.simple.pa_simple_write(stream, block, len(block), None)
            time.sleep(0.05)
            for _ in range(int(0.05 * 176400) // len(block) + 1):
                self.simple.pa_simple_write(stream, block, len(block), None)
            start = time.perf_counter()
            self.simple.pa_simple_flush(stream, None)
            times.append((time.perf_counter() - start) * 1000)
        self.simple.pa_simple_free(stream)
        return times

    def measure_play(self, seconds, rate, channels, bits):
        """pacat's and the server's CPU for the same audio through TCP."""
        frame = channels * bits // 8
        total = rate * seconds * frame
        block = os.urandom(rate // 10 * frame)
        server_before = cpu_seconds(self.server.pid)
        pacat = subprocess.Popen(
            ["pacat", "--playback", "--raw", "--server=" + self.address, "-d", "peer_sink",
             "--rate=%d" % rate, "--channels=%d" % channels,
             "--format=%s" % ("s16le" if bits == 16 else "s32le"), "--latency-msec=2000"],
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def feed():
            sent = 0
            try:
                while sent < total:
                    piece = block[:min(len(block), total - sent)]
                    pacat.stdin.write(piece)
                    sent += len(piece)
                pacat.stdin.close()
            except BrokenPipeError:
                pass

        feeder = threading.Thread(target=feed)
        feeder.start()
        pacat_cpu = 0.0
        while pacat.poll() is None:
            reading = cpu_seconds(pacat.pid)
            if reading is not None:
                pacat_cpu = reading
            time.sleep(0.05)
        feeder.join()
        minutes = seconds / 60.0
        server = cpu_seconds(self.server.pid) - server_before
        return {"cpu_pacat_s_per_min": pacat_cpu / minutes,
                "cpu_server_s_per_min": server / minutes,
                "cpu_total_s_per_min": (pacat_cpu + server) / minutes}

    def close(self):
        end_process(self.server, signal.SIGTERM)
        self.log.close()
        shutil.rmtree(self.folder, ignore_errors=True)


# ---- keeping up: 192 kHz, 32 bits, 8 channels, recorded ----

HI_RATE, HI_CHANNELS, HI_BITS = 192000, 8, 32
HI_FRAME = HI_CHANNELS * HI_BITS // 8
# 7.1 in wave-out order, the layout the service opens 8 channels with.
HI_CHANNEL_MAP = "front-left,front-right,front-center,lfe,rear-left,rear-right,side-left,side-right"
# Whole cycles per second sharing no factor with the rate, each channel with a
# phase of its own: every frame of the one-second period differs from every
# other, and none is silent, so a lost, repeated or silent stretch shows.
HI_CYCLES = [401, 503, 601, 701, 809, 907, 1009, 1103]
NONZERO = re.compile(b"[^\x00]")
PCM_SUBFORMAT = bytes.fromhex("0100000000001000800000aa00389b71")


def hi_period():
    """One second of the signal as sent, and as the sink must show it at the
    player's volume 255 (Wine scales only the first two channels by the
    volume word's single-precision factor, truncating: see
    tests/host/formats_test.py)."""
    full = (1 << (HI_BITS - 1)) - 1
    gain = soak_road.gain_of(255)
    sent, shown = array.array("i"), array.array("i")
    for n in range(HI_RATE):
        for c, cycles in enumerate(HI_CYCLES):
            v = int(round(0.8 * full * math.sin(2 * math.pi * cycles * n / HI_RATE + 0.7 * c + 0.3)))
            sent.append(v)
            shown.append(sink_sample(v, gain, HI_BITS) if c < 2 else v)
    return sent.tobytes(), shown.tobytes()


def write_hi_wav(path, period, seconds):
    """An extensible WAV of 7.1 (mask 0xFF) holding the period `seconds` times."""
    common = struct.pack("<HHIIHH", 0xFFFE, HI_CHANNELS, HI_RATE, HI_RATE * HI_FRAME, HI_FRAME,
                         HI_BITS)
    common += struct.pack("<HHI", 22, HI_BITS, 0xFF) + PCM_SUBFORMAT
    size = len(period) * seconds
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 4 + 8 + len(common) + 8 + size) + b"WAVE")
        f.write(b"fmt " + struct.pack("<I", len(common)) + common)
        f.write(b"data" + struct.pack("<I", size))
        for _ in range(seconds):
            f.write(period)


def matching_prefix(x, x_at, y, y_at, count, frame):
    """How many whole frames of x from byte x_at equal y's from byte y_at,
    up to `count`: one comparison when all do, else a bisection."""
    if x[x_at:x_at + count * frame] == y[y_at:y_at + count * frame]:
        return count
    lo, hi = 0, count  # the first lo frames match, the first hi do not
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if x[x_at:x_at + mid * frame] == y[y_at:y_at + mid * frame]:
            lo = mid
        else:
            hi = mid
    return lo


def last_sound_end(recorded):
    """The offset just after the last byte that is not zero."""
    end = len(recorded)
    while end > 0:
        start = max(0, end - (1 << 20))
        stripped = recorded[start:end].rstrip(b"\0")
        if stripped:
            return start + len(stripped)
        end = start
    return 0


def stream_gaps(recorded, period, frame):
    """Silences and jumps between the first and the last sound of a recording
    of a periodic signal: ([silence bytes], [jumps in bytes, None for a frame
    that is no part of the signal])."""
    size = len(period)
    twice = period + period
    index = {period[i:i + frame]: i for i in range(0, size, frame)}
    first = NONZERO.search(recorded)
    silences, jumps = [], []
    if not first:
        return None
    pos, end = first.start() - first.start() % frame, last_sound_end(recorded)
    phase = None
    while pos + frame <= end:
        if phase is None:
            phase = index.get(recorded[pos:pos + frame])
            if phase is None:
                pos += frame
                continue
        m = min(size, end - pos) // frame * frame
        if m == 0:
            break
        same = matching_prefix(recorded, pos, twice, phase, m // frame, frame)
        pos, phase = pos + same * frame, (phase + same * frame) % size
        if same == m // frame:
            continue
        if not any(recorded[pos:pos + frame]):
            after = NONZERO.search(recorded, pos)
            resume = after.start() - after.start() % frame if after else end
            silences.append(resume - pos)
            pos = resume
            if pos + frame > end:
                break
        found = index.get(recorded[pos:pos + frame])
        if found is None:
            jumps.append(None)
            pos, phase = pos + frame, None
        elif found != phase:
            jumps.append((found - phase) % size)
            phase = found
    return silences, jumps


def measure_keeping_up(build, seconds, folder, say):
    """Plays `seconds` of the signal through tvhost and the proxy into a null
    sink of its own format and counts the gaps in the sink's recording."""
    sent, shown = hi_period()
    wav = os.path.join(folder, "keeping_up.wav")
    write_hi_wav(wav, sent, seconds)
    sink = "tvbench_hi"
    old_default = pactl("get-default-sink")
    module = pactl("load-module", "module-null-sink", "sink_name=" + sink, "format=s32le",
                   "rate=%d" % HI_RATE, "channels=%d" % HI_CHANNELS,
                   "channel_map=" + HI_CHANNEL_MAP, "norewinds=1")
    service = proxy = recorder = None
    result = {"seconds": seconds}
    try:
        # PulseAudio moves the streams that chose no sink of their own to a new
        # default; the long run's stream is sent back and stays where it was.
        playing = [line.split()[0] for line in
                   pactl("list", "short", "sink-inputs").splitlines() if line.strip()]
        pactl("set-default-sink", sink)
        for stream in playing:
            pactl("move-sink-input", stream, old_default)
        service = soak_road.Service(os.path.join(build, "Tonvaled.exe"),
                                    os.path.join(build, "tests", "soak", "tvfigures.exe"), folder)
        proxy = soak_road.frame_proxy.FrameProxy(target_port=service.port)
        plugin_dir = os.path.join(folder, "hi_plugins")
        os.makedirs(plugin_dir)
        plugin = os.path.join(plugin_dir, "out_tonvale.dll")
        shutil.copy(os.path.join(build, "plugin", "out_tonvale.dll"), plugin)
        write_ini(os.path.join(plugin_dir, "out_tonvale.ini"),
                  ["ServerAddr=127.0.0.1", "ServerPort=%d" % proxy.port, "BuffSize=2000"])
        recording = os.path.join(folder, "keeping_up.raw")
        recorder_out = open(recording, "wb")
        recorder = subprocess.Popen(
            ["parec", "--raw", "--latency-msec=10", "-d", sink + ".monitor", "--format=s32le",
             "--rate=%d" % HI_RATE, "--channels=%d" % HI_CHANNELS,
             "--channel-map=" + HI_CHANNEL_MAP], stdin=subprocess.DEVNULL, stdout=recorder_out)
        time.sleep(0.5)
        with open(os.path.join(folder, "keeping_up.txt"), "wb") as out:
            done = subprocess.run(["wine", os.path.join(build, "host", "tvhost.exe"), "--plugin",
                                   win_path(plugin), win_path(wav)], cwd=folder,
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                  timeout=seconds * 2 + 60)
        result["host_rc"] = done.returncode
        time.sleep(1.0)  # a second after the drain, so that the recorder's tail is out
        recorder.send_signal(signal.SIGINT)
        recorder.wait(10)
        recorder_out.close()
        recorder = None
        os.remove(wav)
        proxy.wait_for(lambda p: p.connections and p.connections[-1].closed, 10)
        connection = proxy.connections[-1] if proxy.connections else None
        result["written_bytes"] = connection.write_bytes if connection else 0
        result["played_bytes"] = connection.played_bytes if connection else 0
        result["wire_errors"] = list(proxy.errors)[:10]
        say("bench: looking for gaps in %.0f MB of recording" % (os.path.getsize(recording) / 1e6))
        with open(recording, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as rec:
            found = stream_gaps(rec, shown, HI_FRAME)
            result["recorded_s"] = len(rec) / HI_FRAME / HI_RATE
        if found is None:
            result["gaps"] = None
        else:
            silences, jumps = found
            result["silences_ms"] = [n / HI_FRAME * 1000.0 / HI_RATE for n in silences]
            result["jumps_frames"] = [j // HI_FRAME if j is not None else None for j in jumps]
            result["gaps"] = len(silences) + len(jumps)
        os.remove(recording)
    finally:
        if recorder:
            recorder.kill()
            recorder.wait()
        if proxy:
            proxy.close()
        if service:
            service.close()
        pactl("set-default-sink", old_default)
        pactl("unload-module", module)
    return result


def pactl(*args):
    return subprocess.run(["pactl"] + list(args), check=True, capture_output=True, text=True,
                          timeout=10).stdout.strip()


# ---- flat: the service over a long run with a seek every 5 s ----

class FlatRun:
    """The soak road on a thread of its own, without a recording."""

    def __init__(self, build, minutes, say):
        self.args = argparse.Namespace(
            host=os.path.join(build, "host", "tvhost.exe"),
            plugin=os.path.join(build, "plugin", "out_tonvale.dll"),
            daemon=os.path.join(build, "Tonvaled.exe"),
            figures=os.path.join(build, "tests", "soak", "tvfigures.exe"))
        self.minutes = minutes
        self.result = None
        self.say = say
        self.opened = threading.Event()
        self.thread = threading.Thread(target=self._run)
        self.thread.start()

    def _run(self):
        try:
            self.result = soak_road.run(self.args, self.minutes, 5000, sample_every=30.0,
                                        say=lambda text: None, opened=self.opened)
        except BaseException as error:  # the benchmark goes on and shows the row empty
            self.say("bench: the long run failed: %s" % error)
            self.result = {}
        self.opened.set()

    def figures(self):
        self.thread.join()
        r = self.result or {}
        samples = r.get("figures") or []
        out = {"minutes": self.minutes, "samples": samples, "host_rc": r.get("host_rc"),
               "idle_before": r.get("idle_before"), "idle_after": r.get("idle_after"),
               "wire": r.get("wire"), "wire_errors": (r.get("proxy_errors") or [])[:10]}
        span = soak_road.start_and_end(samples, self.minutes)
        if span:
            (out["start_s"], out["handles_start"], out["private_start"]), \
                (_, out["handles_end"], out["private_end"]) = span
            out["private_first"] = samples[0][2]
        return out


# ---- stretches: the first sound after a seek and after an Open, recorded ----

STRETCH_RATE, STRETCH_FRAME = 44100, 4  # 16-bit stereo
STRETCH_EVERY_MS = 500   # a seek, or the next track, this long after the last one
STRETCH_WINDOW_MS = 300  # the start of each stretch, which must play whole
HOLE_MS = 1.0            # shorter silences and skips are not counted as holes
# Stretches start at whole seconds 0 to 4 of the file (StretchStartFrame in
# bench/measure.h); the sixth second is room for the first 300 ms of the last.
STRETCH_FILE_S = 6
KEY_FRAMES = 8           # frames of noise that tell where in the file they are
# The latency the stretch recorder asks of the null sink. The sink renders
# in blocks of the smallest latency asked of it, and a frame's place on the
# recording's timeline is only as fine as one block. 5 ms is what Wine's
# streams ask anyway, so the sink renders as it would without the recorder:
# a sound that starts at once reads about 3 ms before its cause (with 10 ms,
# 5 to 9 ms; 2 ms reads within 2 ms but makes the sink render differently).
STRETCH_RECORD_LATENCY_MS = 5
# The span of reads around a moment that place it on the recording.
STRETCH_CLOCK_SPAN_S = 1.0


def stretch_signal(folder):
    """Writes the stretch rows' noise, raw 16-bit stereo at 44.1 kHz, into
    `folder`; returns its path and its bytes as the sink shows them at the
    player's volume 255, which the road and the floor both play at."""
    rng = random.Random(71)
    sent = array.array("h", (rng.randint(-30000, 30000)
                             for _ in range(STRETCH_RATE * STRETCH_FILE_S * 2)))
    path = os.path.join(folder, "stretches.pcm")
    with open(path, "wb") as f:
        f.write(sent.tobytes())
    return path, array.array("h", (sink_sample(v, GAIN) for v in sent)).tobytes()


def run_stamped(command, folder, timeout):
    """Runs a Windows program under Wine to its end with its standard output
    read as it comes: [(time.monotonic() at the line's arrival, line)]."""
    with open(os.path.join(folder, "stderr.txt"), "wb") as errors:
        child = subprocess.Popen(["wine"] + command, cwd=folder, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=errors)
        stamped = []

        def read():
            for raw in iter(child.stdout.readline, b""):
                stamped.append((time.monotonic(), raw.decode("utf-8", "replace").strip()))

        reader = threading.Thread(target=read)
        reader.start()
        try:
            child.wait(timeout)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()
        reader.join(10)
    for _, line in stamped:
        if line.startswith("error"):
            print("bench: %s: %s" % (os.path.basename(command[0]), line), flush=True)
    return stamped


class StampedRecorder:
    """parec on the test sink's monitor at the stretch signal's format, read
    as it arrives.

    The common clock is time.monotonic(), CLOCK_MONOTONIC, which the null
    sink renders by, so frame n of the recording was rendered at about
    start + n / rate. Each read is stamped on arrival, and the stamp less the
    duration of all frames read so far is never much earlier than `start`,
    so the smallest such figure is taken for it; but the sink counts whole
    microseconds per block and so renders a little fast (the smallest figure
    fell by 0.2 ms a second here), so it is taken from the reads within
    STRETCH_CLOCK_SPAN_S of each moment. The sink renders a block at a time,
    up to a block ahead of its timeline, so a frame's time is as fine as one
    block (STRETCH_RECORD_LATENCY_MS), and a sound that starts at once reads
    a few ms before its cause. The players' performance-counter times are
    put on the same clock from their "clock" lines (program_clock). Whatever
    is left moves road and floor alike. The resume row's way, a duration on
    the recording less one on the wall clock, cannot place a first sound
    after a reply that leaves no mark on the recording."""

    def __init__(self):
        sink = os.environ.get("TONVALE_SINK", "tonvale_sink")
        self.process = subprocess.Popen(
            ["parec", "--raw", "--latency-msec=%d" % STRETCH_RECORD_LATENCY_MS, "-d",
             sink + ".monitor", "--format=s16le", "--rate=%d" % STRETCH_RATE, "--channels=2"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        self.data = bytearray()
        self.arrivals, self.starts = [], []  # per read: when, and the start it shows
        self.reader = threading.Thread(target=self._read)
        self.reader.start()
        time.sleep(0.5)  # connected before anything plays

    def _read(self):
        pipe = self.process.stdout.fileno()
        while True:
            chunk = os.read(pipe, 1 << 16)
            arrived = time.monotonic()
            if not chunk:
                return
            self.data += chunk
            self.arrivals.append(arrived)
            self.starts.append(arrived - len(self.data) // STRETCH_FRAME / STRETCH_RATE)

    def stop(self):
        """The recording, a moment after the last sound so that it is out."""
        time.sleep(0.5)
        self.process.send_signal(signal.SIGINT)
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.reader.join(10)
        return bytes(self.data)

    def start_near(self, moment):
        """The recording's start as the reads around `moment` show it."""
        lo = bisect.bisect_left(self.arrivals, moment - STRETCH_CLOCK_SPAN_S)
        hi = bisect.bisect_right(self.arrivals, moment + STRETCH_CLOCK_SPAN_S)
        return min(self.starts[lo:hi] or self.starts)

    def frame_at(self, moment):
        return int(round((moment - self.start_near(moment)) * STRETCH_RATE))

    def moment_of(self, frame):
        roughly = self.starts[0] + frame / STRETCH_RATE
        return self.start_near(roughly) + frame / STRETCH_RATE


def program_clock(stamped):
    """A function from the program's performance-counter ms to time.monotonic().
    A "clock" line is written right after its reading is taken, so its arrival
    stamp less the reading is never below the offset between the two clocks;
    the smallest such figure within 5 s of a moment is the offset there (the
    two may drift apart by parts per million)."""
    pairs = [(float(line.split()[1]), stamp) for stamp, line in stamped
             if line.startswith("clock ")]

    def convert(ms):
        near = [stamp - reading / 1000.0 for reading, stamp in pairs if abs(reading - ms) <= 5000]
        return ms / 1000.0 + min(near) if near else None
    return convert


def stretch_events(stamped, name):
    """The program's lines "NAME MS FRAME", on the monotonic clock: [(s, frame)]."""
    convert = program_clock(stamped)
    events = []
    for _, line in stamped:
        words = line.split()
        if len(words) == 3 and words[0] == name:
            events.append((convert(float(words[1])), int(words[2])))
    return events


def region_index(shown, frame, frames):
    """Where each run of KEY_FRAMES frames of the signal from `frame` on
    starts, by its bytes, for `frames` frames."""
    base, key = frame * STRETCH_FRAME, KEY_FRAMES * STRETCH_FRAME
    return {shown[base + i * STRETCH_FRAME:base + i * STRETCH_FRAME + key]: i
            for i in range(frames)}


def first_sound_of(rec, index, lo, hi):
    """The first frame in rec[lo:hi] (frames) that is this stretch's sound,
    and where in the stretch it is: (frame, offset), or (None, None). Sound
    of the stretch before is passed over."""
    pos = lo
    while pos < hi:
        found = NONZERO.search(rec, pos * STRETCH_FRAME, hi * STRETCH_FRAME)
        if not found:
            break
        at = found.start() // STRETCH_FRAME
        offset = index.get(rec[at * STRETCH_FRAME:(at + KEY_FRAMES) * STRETCH_FRAME])
        if offset is not None:
            return at, offset
        pos = at + 1
    return None, None


def matching_frames(rec, at, region, offset, count):
    """How many frames from rec[at] equal the stretch's from `offset`, up to `count`."""
    return matching_prefix(rec, at * STRETCH_FRAME, region, offset * STRETCH_FRAME, count,
                           STRETCH_FRAME)


def stretch_breaks(rec, region, index, at, offset, hi, window):
    """Follows a stretch on the recording from its first sound (frame `at`,
    `offset` frames into the stretch) through its first `window` frames.
    Returns the breaks, [(offset, silent frames, skipped frames)] (skipped
    negative: repeated), one at offset 0 when its start was never heard, and
    how many of its frames were heard before it ended: a silence or a sound
    after which it does not go on is its end (the next seek's), not a break."""
    breaks = [(0, 0, offset)] if offset else []
    while offset < window and at < hi:
        same = matching_frames(rec, at, region, offset, min(window - offset, hi - at))
        at, offset = at + same, offset + same
        if offset >= window or at >= hi:
            break
        silence = 0
        if not any(rec[at * STRETCH_FRAME:(at + 1) * STRETCH_FRAME]):
            found = NONZERO.search(rec, at * STRETCH_FRAME, hi * STRETCH_FRAME)
            if not found:
                break
            silence = found.start() // STRETCH_FRAME - at
            at += silence
        going_on = index.get(rec[at * STRETCH_FRAME:(at + KEY_FRAMES) * STRETCH_FRAME])
        if going_on is None:
            break
        breaks.append((offset, silence, going_on - offset))
        offset = going_on
    return breaks, min(offset, window)


def frames_ms(frames):
    return frames * 1000.0 / STRETCH_RATE


STRETCH_WINDOW = STRETCH_WINDOW_MS * STRETCH_RATE // 1000  # frames
# A break that starts inside the window may end past it.
STRETCH_REACH = STRETCH_WINDOW + 200 * STRETCH_RATE // 1000
# Searched before each event's moment: more than the clock's error.
STRETCH_MARGIN = 100 * STRETCH_RATE // 1000


class StretchSignal:
    """The signal as the sink shows it, with each stretch start's first
    STRETCH_REACH frames indexed (region_index) once."""

    def __init__(self, shown):
        self.shown = shown
        self.regions = {}

    def region(self, frame):
        if frame not in self.regions:
            self.regions[frame] = (
                self.shown[frame * STRETCH_FRAME:(frame + STRETCH_REACH + KEY_FRAMES) *
                           STRETCH_FRAME],
                region_index(self.shown, frame, STRETCH_REACH))
        return self.regions[frame]


def read_stretch(rec, recorder, sig, moment, frame, later):
    """One stretch on the recording, from its event's moment (time.monotonic())
    to the next one's (`later`, None for the last): None when none of its
    first STRETCH_WINDOW_MS was heard, else its to_sound_ms (from the event
    to its first sound), old_sound_after_ms (the last sound before it, from
    the event, or None), breaks and heard (stretch_breaks)."""
    lo = max(0, recorder.frame_at(moment) - STRETCH_MARGIN)
    hi = recorder.frame_at(later) + STRETCH_MARGIN if later else len(rec) // STRETCH_FRAME
    region, index = sig.region(frame)
    at, offset = first_sound_of(rec, index, lo, hi)
    if at is None:
        return None
    before = rec[lo * STRETCH_FRAME:at * STRETCH_FRAME].rstrip(b"\0")
    last = lo + (len(before) - 1) // STRETCH_FRAME if before else None
    breaks, heard = stretch_breaks(rec, region, index, at, offset, hi, STRETCH_WINDOW)
    return {"to_sound_ms": (recorder.moment_of(at) - moment) * 1000,
            "old_sound_after_ms": None if last is None else
            (recorder.moment_of(last) - moment) * 1000,
            "breaks": breaks, "heard": heard}


def stretch_figures(rec, recorder, events, sig):
    """Every stretch read off the recording, summed up: to_sound_ms, holes_ms
    (each break of HOLE_MS or more in a stretch's first STRETCH_WINDOW_MS,
    silence plus file skipped or repeated; a stretch never heard counts as
    one of the whole window), longest_ms (the longest break, however short),
    short (stretches that ended before the window did) and old_sound_after_ms
    (the clock's check: after a seek the stretch before has stopped by the
    Flush's reply, so these are about 0 or below)."""
    out = {"stretches": len(events), "to_sound_ms": [], "holes_ms": [], "holes": [],
           "longest_ms": 0.0, "short": 0, "unheard": 0, "old_sound_after_ms": []}
    for i, (moment, frame) in enumerate(events):
        later = events[i + 1][0] if i + 1 < len(events) else None
        found = None
        if moment is not None and recorder.starts:
            found = read_stretch(rec, recorder, sig, moment, frame, later)
        if found is None:
            out["unheard"] += 1
            out["holes_ms"].append(float(STRETCH_WINDOW_MS))
            out["longest_ms"] = max(out["longest_ms"], STRETCH_WINDOW_MS)
            continue
        out["to_sound_ms"].append(found["to_sound_ms"])
        if found["old_sound_after_ms"] is not None:
            out["old_sound_after_ms"].append(found["old_sound_after_ms"])
        out["short"] += found["heard"] < STRETCH_WINDOW
        for where, silence, skipped in found["breaks"]:
            length = frames_ms(silence + abs(skipped))
            out["longest_ms"] = max(out["longest_ms"], length)
            if length >= HOLE_MS:
                out["holes_ms"].append(length)
                out["holes"].append({"stretch": i, "at_ms": frames_ms(where),
                                     "silence_ms": frames_ms(silence),
                                     "skipped_ms": frames_ms(skipped)})
    return out


def recorded_stretches(run, event, sig):
    """Records the null sink while `run()` plays stretches, and reads them off it."""
    recorder = StampedRecorder()
    try:
        stamped = run()
    finally:
        rec = recorder.stop()
    figures = stretch_figures(rec, recorder, stretch_events(stamped, event), sig)
    figures["done"] = any(line == "done" for _, line in stamped)
    return figures


def measure_stretches(road, floor, seeks, tracks, folder):
    """The road (tvbench through the service) and the floor, plain and primed,
    each `seeks` seeks and `tracks` Opens, STRETCH_EVERY_MS apart, recorded."""
    path, shown = stretch_signal(folder)
    signal_path, sig = win_path(path), StretchSignal(shown)
    out = {}
    for kind, count in (("seeks", seeks), ("tracks", tracks)):
        out["road_" + kind] = recorded_stretches(
            lambda: road.run_stamped(kind, count, signal_path, STRETCH_EVERY_MS),
            "flush" if kind == "seeks" else "open", sig)
        for how in ("plain", "primed"):
            out["floor_%s_%s" % (kind, how)] = recorded_stretches(
                lambda: floor.run_stamped(kind, count, signal_path, STRETCH_EVERY_MS,
                                          ROAD_BUFF_MS, how),
                "reset" if kind == "seeks" else "open", sig)
    os.remove(path)
    return out


# The new service listens this long after the kill in the resume row.
RESUME_RESTART_S = 1.0


def measure_resume(build, count):
    """The service killed mid-file and a new one started 1 s later, `count`
    times: from the new service's listening socket to sound again, read off
    the recording (tests/road's resume case, without its checks)."""
    args = argparse.Namespace(host=os.path.join(build, "host", "tvhost.exe"),
                               plugin=os.path.join(build, "plugin", "out_tonvale.dll"),
                               daemon=os.path.join(build, "Tonvaled.exe"),
                               make_wav=os.path.join(os.path.dirname(HERE), "scripts",
                                                     "make_wav.py"))
    result = {"listen_to_sound_ms": [], "lost_ms": [], "runs": count}
    for _ in range(count):
        road = road_test.Road(args, direct=True)
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                _, _, _, figures = road_test.play_through_restart(road, RESUME_RESTART_S,
                                                                   seconds=4)
        finally:
            road.close()
        if figures:
            result["listen_to_sound_ms"].append(figures["listen_to_sound_ms"])
            result["lost_ms"].append(figures["lost_ms"])
    return result


def resume_rows(r):
    heard = r.get("listen_to_sound_ms") or []
    label = "%d of %d restarts" % (len(heard), r.get("runs", 0)) if r else "-"
    return [("Listening to sound again ms, service restarted mid-track (p50 / p99) [6]",
             spread(heard) if heard else "-", "-", "-"),
            ("Unheard ms around the restart (p50 / p99), %s" % label,
             spread(r["lost_ms"]) if heard else "-", "-", "<= 100")]


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


def ratio(road, floor):
    if road is None or floor is None or floor <= 0:
        return None
    return road / floor


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


def difference(road, floor):
    return None if road is None or floor is None else road - floor


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
                 "waveOutOpen + waveOutClose, waveOutReset until every buffer is back, its own "
                 "CPU + the wineserver's while it plays the same audio with the same queue. "
                 "Road / floor: p50 over p50, p99 over p99.")
    lines.append("[6] the service killed 1.5 s into a file and a new one started on its port "
                 "1 s later: the listener's silence less the time from the kill to the new "
                 "service's listening socket.")
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(os.path.dirname(HERE), "build"))
    parser.add_argument("--quick", action="store_true", help="seconds, not minutes")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    repeats, seconds = (3, 2) if args.quick else (50, 60)
    keeping_up_seconds, flat_minutes = (10, 0.5) if args.quick else (300, 10)
    resume_repeats = 2 if args.quick else 10
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
