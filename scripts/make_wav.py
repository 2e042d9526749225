#!/usr/bin/env python3
"""Writes test WAV files for tvhost: a different sine per channel, seeded noise
that never repeats (so a recording can be aligned on it) or a ramp, in PCM of
8, 16, 24 or 32 bits, plain or extensible; --tag writes any other format tag,
for files that must be refused.

    make_wav.py OUT.wav [--rate 44100] [--channels 2] [--bits 16]
                [--seconds 3] [--signal sine|noise|ramp] [--extensible]
                [--seed 1] [--amplitude 0.5] [--tag N]
"""
import argparse
import math
import random
import struct
import sys

PCM_SUBFORMAT = bytes.fromhex("0100000000001000800000aa00389b71")


def samples(signal, rate, frames, channels, seed, amplitude):
    """Yields one float in [-1, 1) per sample, channel by channel per frame."""
    rng = random.Random(seed)
    for frame in range(frames):
        for channel in range(channels):
            if signal == "noise":
                yield amplitude * (2.0 * rng.random() - 1.0)
            elif signal == "ramp":
                # A sawtooth of one second per channel, shifted per channel.
                yield amplitude * (((frame + channel * 1000) % rate) * 2.0 / rate - 1.0)
            else:
                frequency = 220.0 * (channel + 2) / 2  # 220, 330, 440 Hz...
                yield amplitude * math.sin(2 * math.pi * frequency * frame / rate)


def encode(values, bits):
    full = (1 << (bits - 1)) - 1
    out = bytearray()
    for value in values:
        level = max(-full - 1, min(full, int(round(value * full))))
        if bits == 8:
            out.append(level + 128)
        else:
            out += level.to_bytes(bits // 8, "little", signed=True)
    return bytes(out)


def format_chunk(tag, channels, rate, bits, extensible):
    align = channels * bits // 8
    common = struct.pack("<HHIIHH", 0xFFFE if extensible else tag, channels, rate,
                         rate * align, align, bits)
    if extensible:
        mask = (1 << channels) - 1
        return common + struct.pack("<HHI", 22, bits, mask) + PCM_SUBFORMAT
    return common


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--rate", type=int, default=44100)
    parser.add_argument("--channels", type=int, default=2)
    parser.add_argument("--bits", type=int, default=16, choices=[8, 16, 24, 32])
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--signal", choices=["sine", "noise", "ramp"], default="sine")
    parser.add_argument("--extensible", action="store_true")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--amplitude", type=float, default=0.5)
    parser.add_argument("--tag", type=int, default=1)
    args = parser.parse_args()

    frames = int(round(args.seconds * args.rate))
    data = encode(samples(args.signal, args.rate, frames, args.channels, args.seed, args.amplitude),
                  args.bits)
    fmt = format_chunk(args.tag, args.channels, args.rate, args.bits, args.extensible)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt
    body += b"data" + struct.pack("<I", len(data)) + data
    if len(data) % 2:
        body += b"\0"
    with open(args.out, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", len(body)) + body)
    return 0


if __name__ == "__main__":
    sys.exit(main())
