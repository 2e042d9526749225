// Buffer and position accounting: how much the host may write, whether
// output is still going on, both times, and the flush to a new position.
// The pure functions below carry the arithmetic; the operations apply them
// to PluginState.
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
// The CMD_OPEN payload of a format; StreamFormat is that of the open stream.
PcmFormat FormatOf(int sampleRate, int numChannels, int bitsPerSample);
PcmFormat StreamFormat();

int __cdecl CanWrite();
int __cdecl IsPlaying();
void __cdecl Flush(int positionMs);
int __cdecl GetWrittenTime();
int __cdecl GetOutputTime();
