#!/usr/bin/env python3
"""What reached the sound card for each sample format: a null sink made with
the format's own sample type, rate and channels becomes the default sink, a signal with its own
frequency on every channel is played at full volume, and the sink's monitor,
recorded in that same format, is compared with what was sent.

    formats_test.py service|host FORMAT --host TVHOST.EXE --plugin OUT_TONVALE.DLL
                    --daemon TONVALED.EXE --make-wav MAKE_WAV.PY

"service" streams the samples straight to the real Tonvaled.exe over its
wire; "host" plays a WAV file of the format through tvhost and the real
out_tonvale.dll. Runs inside the test environment (scripts/testenv.sh).

Wine's wave-out opens every new stream on the sink that is the default at
that moment (also in a process that played before), so the sink is made the
default before anything opens; the old default is restored afterwards.

Every sample is compared: straight to the service the recording is what was
sent; through the plug-in it is what was sent at the player's volume 255. Only
the first milliseconds may be missing, and only brief underruns (silence after
which the stream goes on with the next sample) may interrupt it.
"""
import argparse
import cmath
import math
import os
import signal
import socket
import struct
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no cache folder in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_test as e2e  # noqa: E402

# name: (rate, channels, bits)
FORMATS = {
    "mono8_8k": (8000, 1, 8),
    "stereo16_44k": (44100, 2, 16),
    "stereo24_48k": (48000, 2, 24),
    "stereo32_96k": (96000, 2, 32),
    "six16_48k": (48000, 6, 16),
}
PULSE_FORMAT = {8: "u8", 16: "s16le", 24: "s24le", 32: "s32le"}
CHANNEL_MAP = {
    1: "mono",
    2: "front-left,front-right",
    6: "front-left,front-right,front-center,lfe,rear-left,rear-right",
}
# Whole cycles per second that share no factor with any rate: every frame of a
# one-second signal then has its own phase on every channel, so a recording
# can be placed in it without doubt and a lost or repeated block shows.
CYCLES = [401, 503, 601, 701, 809, 907, 1009, 1103]
AMPLITUDE = 0.8
SECONDS = 1.5
PCM_SUBFORMAT = bytes.fromhex("0100000000001000800000aa00389b71")
CMD_OPEN, CMD_WRITE, CMD_PLAYED, CMD_VOLUME, CMD_CLOSE = 1, 2, 3, 7, 8
check = e2e.check


def full_scale(bits):
    return (1 << (bits - 1)) - 1


def sent_frames(rate, channels, bits):
    """The signal as signed integers of the format's width, frame by frame."""
    full = full_scale(bits)
    frames = int(rate * SECONDS)
    return [[int(round(AMPLITUDE * full * math.sin(2 * math.pi * CYCLES[c] * n / rate)))
             for c in range(channels)] for n in range(frames)]


def encode(frames, bits):
    out = bytearray()
    for frame in frames:
        for v in frame:
            if bits == 8:
                out.append(v + 128)
            else:
                out += v.to_bytes(bits // 8, "little", signed=True)
    return bytes(out)


def decode(data, channels, bits):
    width = bits // 8
    usable = len(data) - len(data) % (width * channels)
    if bits == 8:
        values = [b - 128 for b in data[:usable]]
    else:
        values = [int.from_bytes(data[i:i + width], "little", signed=True)
                  for i in range(0, usable, width)]
    return [values[i:i + channels] for i in range(0, len(values), channels)]


def write_wav(path, rate, channels, bits, data):
    align = channels * bits // 8
    extensible = bits > 16 or channels > 2
    common = struct.pack("<HHIIHH", 0xFFFE if extensible else 1, channels, rate,
                         rate * align, align, bits)
    if extensible:
        masks = {1: 0x4, 2: 0x3, 6: 0x3F}
        common += struct.pack("<HHI", 22, bits, masks[channels]) + PCM_SUBFORMAT
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(common)) + common
    body += b"data" + struct.pack("<I", len(data)) + data + (b"\0" if len(data) % 2 else b"")
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", len(body)) + body)


def pactl(*args):
    return subprocess.run(["pactl"] + list(args), check=True, capture_output=True,
                          text=True, timeout=10).stdout.strip()


class Sink:
    """A null sink of one sample format, the default while it exists."""

    def __init__(self, rate, channels, bits):
        self.name = "tonvale_fmt_%d_%d_%d" % (rate, channels, bits)
        self.sample_format = (rate, channels, bits)
        self.old_default = pactl("get-default-sink")
        self.module = pactl("load-module", "module-null-sink", "sink_name=" + self.name,
                            "format=" + PULSE_FORMAT[bits], "rate=%d" % rate,
                            "channels=%d" % channels, "channel_map=" + CHANNEL_MAP[channels],
                            "norewinds=1")
        pactl("set-default-sink", self.name)
        self.recorder = None

    def start_recorder(self, path):
        rate, channels, bits = self.sample_format
        self.path = path
        self.out = open(path, "wb")
        self.recorder = subprocess.Popen(
            ["parec", "--latency-msec=10", "-d", self.name + ".monitor",
             "--format=" + PULSE_FORMAT[bits], "--rate=%d" % rate, "--channels=%d" % channels,
             "--channel-map=" + CHANNEL_MAP[channels], "--raw"],
            stdin=subprocess.DEVNULL, stdout=self.out)
        time.sleep(0.5)

    def stop_recorder(self):
        time.sleep(1.0)  # a second after the drain, so its buffered tail is out
        self.recorder.send_signal(signal.SIGINT)
        self.recorder.wait(10)
        self.recorder = None
        self.out.close()
        with open(self.path, "rb") as f:
            return decode(f.read(), self.sample_format[1], self.sample_format[2])

    def close(self):
        if self.recorder:
            self.recorder.kill()
            self.recorder.wait()
            self.out.close()
        pactl("set-default-sink", self.old_default)
        pactl("unload-module", self.module)


def receive_frame(conn):
    data = b""
    while len(data) < 5:
        chunk = conn.recv(5 - len(data))
        if not chunk:
            return None
        data += chunk
    return struct.unpack("<Bi", data)


def frame(code, payload=b""):
    return struct.pack("<Bi", code, len(payload)) + payload


def stream_to_service(port, rate, channels, bits, data):
    """Plays the bytes through the service at full volume; returns the reply
    to the open and the bytes reported played."""
    align = channels * bits // 8
    conn = socket.create_connection(("127.0.0.1", port), 5)
    conn.settimeout(15)
    try:
        conn.sendall(frame(CMD_OPEN, struct.pack("<HHIIHH", 1, channels, rate, rate * align,
                                                  align, bits)))
        reply = receive_frame(conn)
        if reply != (CMD_OPEN, 0):
            return reply, 0
        conn.sendall(frame(CMD_VOLUME, struct.pack("<I", 0xFFFFFFFF)))
        block = rate // 10 * align
        for at in range(0, len(data), block):
            conn.sendall(frame(CMD_WRITE, data[at:at + block]))
        played = 0
        while played < len(data):
            got = receive_frame(conn)
            if got is None:
                break
            if got[0] == CMD_PLAYED:
                played += got[1]
        # Wine reports a buffer done a little before the sink has its last samples.
        time.sleep(0.3)
        conn.sendall(frame(CMD_CLOSE))
        while True:
            got = receive_frame(conn)
            if got is None or got[0] == CMD_CLOSE:
                break
            played += got[1]
        return reply, played
    finally:
        conn.close()


def first_sound(recorded):
    for i, f in enumerate(recorded):
        if any(f):
            return i
    return -1


def place(sent, recorded, at, probe=8):
    """The frame of `sent` that recorded[at:] starts at, by the least error
    over a few frames; (frame, error relative to full scale)."""
    best, best_err = -1, None
    window = recorded[at:at + probe]
    for n in range(0, len(sent) - probe):
        err = 0
        for k in range(len(window)):
            a, b = sent[n + k], window[k]
            for c in range(len(a)):
                err += abs(a[c] - b[c])
            if best_err is not None and err >= best_err:
                break
        if best_err is None or err < best_err:
            best, best_err = n, err
    return best, best_err


def tone(values, cycles, rate):
    """Amplitude of one frequency in a stretch of one channel."""
    acc = 0j
    step = -2j * math.pi * cycles / rate
    for n, v in enumerate(values):
        acc += v * cmath.exp(step * n)
    return 2 * abs(acc) / len(values)


def at_player_volume(value, channel, bits):
    """A sample as the sink gets it at the player's volume 255: the volume word
    0xFF00 per side, which Wine applies as a single-precision factor,
    truncating, to the left and right channels only (found by experiment). A
    24-bit sample is scaled as the 32-bit sample it widens to, and then loses
    the low byte again."""
    if channel > 1:
        return value
    return e2e.sink_sample(value, e2e.GAIN, bits)


def check_recording(label, rate, channels, sent, recorded):
    at = first_sound(recorded)
    if not check(at >= 0, "%s: the recording carries sound" % label):
        return
    n0, _ = place(sent, recorded, at)
    check(n0 <= rate // 10, "%s: at most the first 100 ms are missing (%.1f ms)" %
          (label, n0 * 1000.0 / rate))
    # The stream may stop a few milliseconds early: Close follows the last
    # buffer's report, which comes a little before the sink has it.
    end = len(sent) - rate * 30 // 1000
    worst, where, differing, gaps, k, r = 0, -1, 0, [], n0, at
    played = []
    while k < end and r < len(recorded):
        a, b = sent[k], recorded[r]
        if not any(b) and any(a):
            # A brief underrun: the device waits with silence and then goes on
            # with the next sample, so nothing is lost.
            silence = r
            while r < len(recorded) and not any(recorded[r]):
                r += 1
            gaps.append(r - silence)
            continue
        for c in range(channels):
            d = abs(a[c] - b[c])
            if d:
                differing += 1
                if d > worst:
                    worst, where = d, k
        played.append(b)
        k += 1
        r += 1
    check(k >= end, "%s: the recording runs to the end of the signal" % label)
    check(all(g <= rate // 20 for g in gaps),
          "%s: silences inside the stream are brief underruns (%s frames)" % (label, gaps))
    check(differing == 0, "%s: every sample came through as expected (%d differ, worst by %d "
          "at frame %d)" % (label, differing, worst, where))
    check_channels(label, rate, channels, sent[n0:], played)


def check_channels(label, rate, channels, sent, recorded):
    """Each channel carries its own tone at the level sent, none of another's."""
    stretch = recorded[:rate // 2]
    for c in range(channels):
        values = [f[c] for f in stretch]
        reference = tone([f[c] for f in sent[:rate // 2]], CYCLES[c], rate)
        levels = [tone(values, CYCLES[k], rate) / reference for k in range(channels)]
        own = 20 * math.log10(max(levels[c], 1e-12))
        others = max([lv for k, lv in enumerate(levels) if k != c] or [0.0])
        check(abs(own) <= 0.1, "%s: channel %d at the level sent (%.3f dB)" % (label, c, own))
        check(others < 1e-3, "%s: channel %d carries no other channel's tone (%.1f dB)" %
              (label, c, 20 * math.log10(max(others, 1e-12))))


def case(mode, name, args):
    rate, channels, bits = FORMATS[name]
    sent = sent_frames(rate, channels, bits)
    data = encode(sent, bits)
    sink = Sink(rate, channels, bits)
    road = None
    try:
        road = e2e.Road(args, with_daemon=(mode == "service"))
        sink.start_recorder(os.path.join(road.folder, "recording.raw"))
        if mode == "service":
            reply, played = stream_to_service(road.port, rate, channels, bits, data)
            check(reply == (CMD_OPEN, 0), "%s: the service opens the format (%s)" % (name, reply))
            check(played == len(data), "%s: every byte reported played (%d of %d)" %
                  (name, played, len(data)))
        else:
            road.start_daemon()
            path = os.path.join(road.folder, name + ".wav")
            write_wav(path, rate, channels, bits, data)
            rc, out, _ = road.host(path)
            check(rc == 0, "%s: tvhost exits with 0" % name)
            pos, length = e2e.final_position(out).get(name + ".wav", (-1, -1))
            expect = len(sent) * 1000 // rate
            check(length == expect and abs(pos - length) <= 40,
                  "%s: final position %d ms equals the file's length %d ms (host says %d)" %
                  (name, pos, expect, length))
        recorded = sink.stop_recorder()
        if mode == "host":
            sent = [[at_player_volume(v, c, bits) for c, v in enumerate(f)] for f in sent]
        check_recording(name, rate, channels, sent, recorded)
    finally:
        sink.close()
        if road:
            road.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["service", "host"])
    parser.add_argument("format", choices=sorted(FORMATS))
    for option in ("--host", "--plugin", "--daemon", "--make-wav"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    case(args.mode, args.format, args)
    print("%d failure(s)" % len(e2e.failures))
    return 1 if e2e.failures else 0


if __name__ == "__main__":
    sys.exit(main())
