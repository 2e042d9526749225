// The plug-in's pure arithmetic: sizes and positions in bytes, times in
// milliseconds, the CMD_OPEN payload, the volume word and the position
// estimate between reports. No state and no locks; tests call it directly.
#pragma once

#include <windows.h>
#include <stdint.h>

#include "protocol/frames.h"

uint16_t BlockAlignOf(int numChannels, int bitsPerSample);
// Bytes per millisecond, taken up to a whole byte, times the buffer length.
LONG64 BufferBytesOf(int bytesPerSecond, int buffSize);
// Byte position of `ms`, each part taken up to a whole byte.
LONG64 BytePositionOf(int ms, int bytesPerSecond);
// Milliseconds of audio in `bytes`; the raw count before any stream is known.
int BytesToMs(LONG64 bytes, int numChannels, int sampleRate, int bitsPerSample);
int WritableBytes(LONG64 written, LONG64 played, LONG64 bufferBytes, int paused);
// The CMD_OPEN payload of a format.
PcmFormat FormatOf(int sampleRate, int numChannels, int bitsPerSample);
// The wave-out volume word of the host's volume (0 to 255) and balance
// (-128 to 128): left level in the low 16 bits, right in the high ones.
uint32_t VolumeWord(int volume, int pan);

// Extrapolation runs at most this far past the latest report: a service that
// stops reporting (an underrun, a stall) is not run ahead of for long.
enum { CLOCK_MAX_AHEAD_MS = 200 };

struct PositionClock {
    LONG64 AnchorBytes; // the position at AnchorTicks
    LONG64 AnchorTicks; // performance-counter ticks; 0: nothing to run on from
    LONG64 LastBytes;   // the last position given out in this stream
};

// The position in bytes at `nowTicks`: the played count when nothing is
// pending, while paused, or before the first report of a stream; otherwise
// run on from the anchor, within [played, written] and not below LastBytes.
LONG64 EstimatePosition(const PositionClock &clock, LONG64 nowTicks, LONG64 ticksPerSecond,
                        LONG64 played, LONG64 written, int paused, int bytesPerSecond);
