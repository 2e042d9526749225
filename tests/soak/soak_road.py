"""The long run of the whole road, shared by the soak test and the benchmark:
tvhost plays one WAV through the real out_tonvale.dll, a frame-aware proxy
(tests/road/frame_proxy.py) and a copy of the real Tonvaled.exe /debug, with
timed seeks, pauses and volume changes; the null sink's monitor can be
recorded, and the service's handles and memory are sampled with tvfigures.

The signal is seeded full-scale noise at 44.1 kHz, 16 bits, stereo, the null
sink's own format, so every recorded sample can be compared with the file at
the volume the host had set: Wine scales each sample by the volume word's
level as a single-precision factor, truncating (found by experiment, see
tests/host/e2e_test.py).
"""
import array
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "road"))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "host"))
import frame_proxy  # noqa: E402
from e2e_test import DaemonCopy, free_port, sink_sample, win_path, write_ini  # noqa: E402

# The proxy's small socket buffers, meant to pass a stalled service's push-back
# on, hold an 8 KiB CMD_WRITE in more than one window and behind delayed
# acknowledgements: the road then falls behind real time and a flush misses
# its 3 s. The soak measures the road itself, so it gives them room for whole
# frames.
frame_proxy.SMALL_BUFFER = 1 << 20

RATE = 44100
FRAME_BYTES = 4  # 16-bit stereo
PROBE_BYTES = 64 * 2  # 64 samples must match to place a piece in the file
KEY_BYTES = 16  # the part of a probe that is looked up
INDEX_STEP = 32 * FRAME_BYTES  # every 32nd frame of the file is in the index
NONZERO = re.compile(b"[^\x00]")


def ms_of(nbytes, rate=RATE, frame_bytes=FRAME_BYTES):
    return nbytes / frame_bytes * 1000.0 / rate


def byte_of_ms(ms):
    """Where the host's seek to `ms` lands in the data: its frame, as bytes."""
    return ms * RATE // 1000 * FRAME_BYTES


def gain_of(volume):
    """The factor Wine applies for the host's volume 0..255 with a centred pan."""
    return struct.unpack("f", struct.pack("f", volume * 256 / 0xFFFF))[0]


# ---- the service and its figures ----

class Service(DaemonCopy):
    """A copy of Tonvaled.exe /debug in a folder whose name is its own, so
    that tvfigures and the benchmark find its process and no other."""

    def __init__(self, daemon_exe, figures_exe, parent):
        super().__init__(daemon_exe, tempfile.mkdtemp(prefix="tvsoak_service_", dir=parent),
                         free_port())
        self.figures_exe = figures_exe

    def figures(self):
        """(handles, private bytes) of the running service, or None."""
        try:
            done = subprocess.run(["wine", self.figures_exe, win_path(self.folder)],
                                  stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
        except subprocess.TimeoutExpired:
            return None
        found = re.search(rb"handles (\d+) private (\d+)", done.stdout)
        return (int(found.group(1)), int(found.group(2))) if found else None


def warm_up_seconds(minutes):
    """How long the service warms up before its figures count as the start of
    a run: its heap and Wine's sound path grow to their working size in about
    the first minute, once, while a leak goes on growing. Short runs start at
    their first figure."""
    return 60.0 if minutes >= 3 else 0.0


def start_and_end(samples, minutes):
    """The (seconds, handles, private bytes) figures taken as the start and
    the end of a run, or None when there are fewer than two."""
    if len(samples) < 2:
        return None
    warm = [s for s in samples[:-1] if s[0] >= warm_up_seconds(minutes)]
    return (warm[0] if warm else samples[0]), samples[-1]


def flat(first, last, handle_slack=10, memory_slack=1 << 20):
    """Whether two figures of the service are within the slack of each other."""
    return (first is not None and last is not None and abs(last[0] - first[0]) <= handle_slack
            and abs(last[1] - first[1]) <= memory_slack)


# ---- the signal ----

def noise_bytes(seconds, seed):
    frames = int(seconds * RATE)
    return random.Random(seed).randbytes(frames * FRAME_BYTES)


def write_wav(path, data, rate=RATE, channels=2, bits=16):
    align = channels * bits // 8
    fmt = struct.pack("<HHIIHH", 1, channels, rate, rate * align, align, bits)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt
    body += b"data" + struct.pack("<I", len(data)) + data
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", len(body)) + body)


def scaled(data, volume):
    if volume == 256:
        return data
    gain = gain_of(volume)
    samples = array.array("h")
    samples.frombytes(data)
    return array.array("h", [sink_sample(v, gain) for v in samples]).tobytes()


class Signal:
    """The file as the sink shows it at each volume the script uses, with an
    index of every INDEX_STEP-th position to place recorded pieces."""

    def __init__(self, data, volumes):
        self.levels = {v: scaled(data, v) for v in sorted(set(volumes))}
        self.index = {}
        for volume, samples in self.levels.items():
            for at in range(0, len(samples) - PROBE_BYTES, INDEX_STEP):
                self.index.setdefault(samples[at:at + KEY_BYTES], (volume, at))
        self.length = len(data)

    def locate(self, recorded, at):
        """(volume, byte offset in the file) of recorded[at:], or None."""
        probe = recorded[at:at + PROBE_BYTES + INDEX_STEP]
        if len(probe) < PROBE_BYTES + INDEX_STEP:
            return None
        for shift in range(0, INDEX_STEP, FRAME_BYTES):
            hit = self.index.get(probe[shift:shift + KEY_BYTES])
            if not hit:
                continue
            volume, k = hit[0], hit[1] - shift
            if k >= 0 and self.levels[volume][k:k + PROBE_BYTES] == probe[:PROBE_BYTES]:
                return volume, k
        return None

    def matching_run(self, recorded, at, volume, k):
        """Whole frames from recorded[at] on that equal the file from k on."""
        samples = self.levels[volume]
        limit = min(len(recorded) - at, len(samples) - k)
        n, step = 0, 1 << 16
        while n < limit and step >= 1:
            m = min(step, limit - n)
            if recorded[at + n:at + n + m] == samples[k + n:k + n + m]:
                n += m
                step = min(step * 2, 1 << 20)
            else:
                step = m // 2 if m > 1 else 0
        return n - n % FRAME_BYTES


def pieces(sig, recorded):
    """The recording cut into pieces of the file: (recorded offset, file
    offset, bytes, volume), in recording order."""
    found, at = [], 0
    while True:
        hit = NONZERO.search(recorded, at)
        if not hit:
            return found
        at = hit.start() - hit.start() % FRAME_BYTES
        place = sig.locate(recorded, at)
        if place:
            volume, k = place
        elif found:
            # Too short to be located on its own: the sink may play a frame
            # or two between two underruns (seen: one frame alone inside 50 ms
            # of silence). The file's next frames at the same volume are part
            # of the stream all the same.
            _, last_k, last_n, volume = found[-1]
            k = last_k + last_n
        else:
            at += FRAME_BYTES
            continue
        n = sig.matching_run(recorded, at, volume, k)
        if not place and not n:
            at += FRAME_BYTES
            continue
        found.append((at, k, n, volume))
        at += max(n, FRAME_BYTES)


def runs_of(found):
    """Joins pieces that follow on in the file (across an underrun, a pause or a
    volume change) into runs: dicts with the recorded and file start, the
    bytes, the silences inside [(file offset, bytes)] and the volumes met."""
    runs = []
    for at, k, n, volume in found:
        last = runs[-1] if runs else None
        if last and last["file"] + last["bytes"] == k:
            silence = at - last["recorded_end"]
            if silence:
                last["gaps"].append((k, silence))
            last["bytes"] += n
            last["recorded_end"] = at + n
            if last["volumes"][-1] != volume:
                last["volumes"].append(volume)
        else:
            runs.append({"recorded": at, "file": k, "bytes": n, "recorded_end": at + n,
                         "gaps": [], "volumes": [volume]})
    return runs


def stray_sound(recorded, found):
    """The stretches of the recording that hold sound but no piece of the
    file: [(recorded offset, bytes, bytes that are not zero)]."""
    stray, at = [], 0
    for start, _, n, _ in found + [(len(recorded), 0, 0, 0)]:
        stretch = recorded[at:start]
        loud = len(stretch) - stretch.count(0)
        if loud:
            stray.append((at, len(stretch), loud))
        at = max(at, start + n)
    return stray


class Recorder:
    """parec on the default sink's monitor, raw s16le stereo at 44.1 kHz."""

    def __init__(self, path):
        self.path = path
        sink = os.environ.get("TONVALE_SINK", "tonvale_sink")
        self.out = open(path, "wb")
        self.process = subprocess.Popen(
            ["parec", "--raw", "--latency-msec=10", "-d", sink + ".monitor", "--format=s16le",
             "--rate=%d" % RATE, "--channels=2"], stdin=subprocess.DEVNULL, stdout=self.out)
        time.sleep(0.5)  # let it connect before anything plays

    def stop(self):
        time.sleep(1.0)  # a second after the drain, so that its buffered tail is out
        self.process.send_signal(signal.SIGINT)
        self.process.wait(10)
        self.out.close()
        with open(self.path, "rb") as f:
            return f.read()

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.out.close()


# ---- the script ----

class Script:
    """What tvhost is asked to do, in its own time from the file's start:
    a seek every `seek_every` ms to a seeded random place, a pause now and then
    between two seeks, a volume change now and then; the last seek goes close
    to the end of the file, so the stream ends by itself after `minutes`."""

    def __init__(self, minutes, file_ms, seek_every, seed, pause_every=0, pause_ms=800,
                 volume_every=0, volumes=(200, 128, 255), tail_ms=2500):
        rng = random.Random(seed)
        self.seeks, self.pauses, self.volume_changes = [], [], []
        total = int(minutes * 60000)
        times = list(range(seek_every, total - tail_ms + 1, seek_every)) or [seek_every]
        previous, cycle = 0, 0
        for number, at in enumerate(times, 1):
            if number == len(times):
                target = file_ms - tail_ms
            else:
                # Never where the stream would have got to by itself, so each
                # seek shows in the recording as a jump of its own.
                room = file_ms - seek_every - pause_ms - 4000
                while True:
                    target = rng.randrange(0, room)
                    if not previous - 500 <= target <= previous + seek_every + pause_ms + 2000:
                        break
            self.seeks.append((at, target))
            previous = target
            if pause_every and number % pause_every == 0 and number < len(times):
                self.pauses.append((at + 1000, pause_ms))
            elif volume_every and number % volume_every == 0 and number < len(times):
                self.volume_changes.append((at + 1500, volumes[cycle % len(volumes)]))
                cycle += 1

    def options(self):
        out = []
        for at, target in self.seeks:
            out += ["--seek", "%d@%d" % (target, at)]
        for at, length in self.pauses:
            out += ["--pause", "%d@%d" % (length, at)]
        for at, volume in self.volume_changes:
            out += ["--volume", "%d@%d" % (volume, at)]
        return out

    def volumes(self):
        """The host's volumes in the order they apply, 255 first."""
        return [255] + [v for _, v in self.volume_changes]

    def run_starts(self):
        """Where each stretch of the file the script asks for begins."""
        return [0] + [target for _, target in self.seeks]

    def pause_windows(self):
        """Which stretch (by number) each pause falls in."""
        starts = [0] + [at for at, _ in self.seeks]
        return [max(i for i, s in enumerate(starts) if s <= at) for at, _ in self.pauses]


def wire_counts(proxy):
    """Bytes written since the last flush and bytes reported played since its
    reply, on the proxy's last connection, up to its end."""
    frames = [f for f in proxy.frames if f.connection == len(proxy.connections) - 1]
    to_service = [f for f in frames if f.direction == frame_proxy.TO_SERVICE]
    to_plugin = [f for f in frames if f.direction == frame_proxy.TO_PLUGIN]

    def after_last(seq, code):
        last = max([i for i, f in enumerate(seq) if f.code == code] or [-1])
        return seq[last + 1:]

    since_flush = after_last(to_service, frame_proxy.CMD_FLUSH)
    lowest = lowest_queued(sorted(frames, key=lambda f: f.time))
    since_reply = after_last(to_plugin, frame_proxy.CMD_FLUSH)
    return {
        "flushes": sum(1 for f in to_service if f.code == frame_proxy.CMD_FLUSH),
        "written_since_flush": sum(f.value for f in since_flush
                                   if f.code == frame_proxy.CMD_WRITE),
        "played_since_flush": sum(f.value for f in since_reply
                                  if f.code == frame_proxy.CMD_PLAYED),
        "written_total": sum(f.value for f in to_service if f.code == frame_proxy.CMD_WRITE),
        "played_total": sum(f.value for f in to_plugin if f.code == frame_proxy.CMD_PLAYED),
        "lowest_queued_ms": lowest,
    }


def lowest_queued(frames, settle=0.25):
    """The least audio the service held (written less reported played, in ms)
    in each stretch between flushes, from `settle` seconds after the open or
    flush reply, while the host was still writing: how far ahead of the sound
    card the plug-in and the service kept the stream."""
    last_write = max((f.time for f in frames if f.code == frame_proxy.CMD_WRITE), default=0)
    lowest, held, since = [], 0, None
    for f in frames:
        if f.direction == frame_proxy.TO_PLUGIN and f.code in (frame_proxy.CMD_OPEN,
                                                                frame_proxy.CMD_FLUSH):
            held, since = 0, f.time
            lowest.append(None)
        elif f.code == frame_proxy.CMD_FLUSH:
            since = None  # the buffers the flush drops come back before its reply
        elif f.code == frame_proxy.CMD_WRITE:
            held += f.value
        elif f.code == frame_proxy.CMD_PLAYED:
            held -= f.value
            if since is not None and since + settle <= f.time < last_write:
                ms = ms_of(held)
                lowest[-1] = ms if lowest[-1] is None else min(lowest[-1], ms)
    return [round(ms) for ms in lowest if ms is not None]


# ---- one run ----

def run(args, minutes, seek_every, seed=7, pause_every=0, volume_every=0, record=False,
        file_seconds=40, sample_every=10.0, say=print, opened=None):
    """Plays the script once and returns what was seen: the script, tvhost's
    exit code and output, the recording (bytes, or None), the wire counts and
    the proxy's errors, and the service's figures: (seconds, handles, private
    bytes) while it played, and idle before and after. `opened`, an event, is
    set once the service has answered the stream's CMD_OPEN."""
    folder = tempfile.mkdtemp(prefix="tvsoak_")
    service = proxy = recorder = None
    result = {"minutes": minutes, "seek_every_ms": seek_every}
    try:
        service = Service(args.daemon, args.figures, folder)
        proxy = frame_proxy.FrameProxy(target_port=service.port)
        plugin_dir = os.path.join(folder, "plugins")
        os.makedirs(plugin_dir)
        plugin = os.path.join(plugin_dir, "out_tonvale.dll")
        shutil.copy(args.plugin, plugin)
        write_ini(os.path.join(plugin_dir, "out_tonvale.ini"),
                  ["ServerAddr=127.0.0.1", "ServerPort=%d" % proxy.port, "BuffSize=2000"])
        data = noise_bytes(file_seconds, seed)
        wav = os.path.join(folder, "soak.wav")
        write_wav(wav, data)
        script = Script(minutes, file_seconds * 1000, seek_every, seed, pause_every=pause_every,
                        volume_every=volume_every)
        result["script"] = script
        result["data"] = data
        result["idle_before"] = service.figures()
        if record:
            recorder = Recorder(os.path.join(folder, "recording.raw"))
        command = ["wine", args.host, "--plugin", win_path(plugin)] + script.options() + [wav]
        out_path = os.path.join(folder, "tvhost.txt")
        started = time.time()
        # The last sample comes just before the last seek, while the stream
        # is still in its steady state.
        last_sample = script.seeks[-1][0] / 1000.0 - 1.0
        samples, next_sample = [], min(4.0, last_sample)
        with open(out_path, "wb") as out:
            host = subprocess.Popen(command, cwd=folder, stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT)
            deadline = started + minutes * 60 + 60
            while host.poll() is None:
                now = time.time() - started
                if opened and not opened.is_set() and proxy.count(frame_proxy.CMD_OPEN,
                                                                  frame_proxy.TO_PLUGIN):
                    opened.set()
                if next_sample is not None and now >= next_sample:
                    figures = service.figures()
                    if figures:
                        samples.append((round(now, 1),) + figures)
                        say("soak: %5.1f s  handles %d  private %.2f MiB" % (
                            now, figures[0], figures[1] / 1048576.0))
                    if next_sample >= last_sample:
                        next_sample = None
                    else:
                        next_sample = min(next_sample + sample_every, last_sample)
                if time.time() > deadline:
                    host.kill()
                    say("soak: tvhost did not end in time; killed")
                time.sleep(0.1)
            result["host_rc"] = host.wait()
        result["host_seconds"] = time.time() - started
        with open(out_path, "rb") as f:
            result["host_out"] = f.read().decode("utf-8", "replace").replace("\r\n", "\n")
        if recorder:
            result["recording"] = recorder.stop()
            recorder = None
        result["figures"] = samples
        proxy.wait_for(lambda p: p.connections and p.connections[-1].closed, 10)
        result["idle_after"] = service.figures()
        result["wire"] = wire_counts(proxy)
        result["proxy_errors"] = list(proxy.errors)
        result["service_console"] = service.console()
    finally:
        if recorder:
            recorder.kill()
        if proxy:
            proxy.close()
        if service:
            service.close()
        shutil.rmtree(folder, ignore_errors=True)
    return result
