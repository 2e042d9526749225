"""Keeping up: a continuous 192 kHz, 32-bit, 8-channel signal played by tvhost
through the frame proxy into a null sink of that very format, whose monitor
is recorded and compared with the signal frame by frame; a silence or a jump
inside the stream is a gap."""
import array
import math
import mmap
import os
import re
import shutil
import signal
import struct
import subprocess
import time

from suite import sink_sample, soak_road, win_path, write_ini

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
