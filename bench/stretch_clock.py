"""The stretch rows' signal and their one clock: the noise file the players
play, the null sink's monitor recorded with every read stamped on
time.monotonic(), and the players' performance-counter times put on the same
clock from their "clock" lines."""
import array
import bisect
import os
import random
import signal
import subprocess
import threading
import time

from suite import GAIN, sink_sample

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
