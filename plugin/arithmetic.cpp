// The pure arithmetic. The counters are 64-bit, so a stream of any length
// keeps its flow control and its times; results that the host takes as int
// are capped at INT_MAX rather than wrapped.
#include "plugin/arithmetic.h"

#include <limits.h>

static int CapToInt(LONG64 value) {
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

uint16_t BlockAlignOf(int numChannels, int bitsPerSample) {
    return static_cast<uint16_t>(numChannels * bitsPerSample / 8);
}

LONG64 BufferBytesOf(int bytesPerSecond, int buffSize) {
    LONG64 perMs = bytesPerSecond / 1000;
    if (bytesPerSecond % 1000 != 0) perMs += 1;
    return perMs * buffSize;
}

LONG64 BytePositionOf(int ms, int bytesPerSecond) {
    LONG64 whole = static_cast<LONG64>(ms / 1000) * bytesPerSecond;
    LONG64 scaled = static_cast<LONG64>(ms % 1000) * bytesPerSecond;
    LONG64 part = scaled / 1000;
    if (scaled % 1000 > 0) part += 1;
    return whole + part;
}

int BytesToMs(LONG64 bytes, int numChannels, int sampleRate, int bitsPerSample) {
    LONG64 samples = static_cast<LONG64>(numChannels) * sampleRate;
    if (samples <= 0) return CapToInt(bytes);
    LONG64 ms = (bytes / samples) * 1000 + ((bytes % samples) * 1000) / samples;
    // One sample takes bitsPerSample / 8 bytes of each channel's share; 8-bit
    // samples need no division and 16-bit ones are halved as always.
    int bytesPerSample = bitsPerSample / 8;
    if (bytesPerSample > 1) ms /= bytesPerSample;
    return CapToInt(ms);
}

int WritableBytes(LONG64 written, LONG64 played, LONG64 bufferBytes, int paused) {
    LONG64 pending = written - played;
    if (pending < 0 || pending >= bufferBytes || paused != 0) return 0;
    return CapToInt(bufferBytes - pending);
}

PcmFormat FormatOf(int sampleRate, int numChannels, int bitsPerSample) {
    uint16_t blockAlign = BlockAlignOf(numChannels, bitsPerSample);
    PcmFormat format;
    format.FormatTag = 1;
    format.Channels = static_cast<uint16_t>(numChannels);
    format.SamplesPerSec = static_cast<uint32_t>(sampleRate);
    format.AvgBytesPerSec = static_cast<uint32_t>(sampleRate * blockAlign);
    format.BlockAlign = blockAlign;
    format.BitsPerSample = static_cast<uint16_t>(bitsPerSample);
    return format;
}

uint32_t VolumeWord(int volume, int pan) {
    int full = volume << 8;
    int left = full;
    int right = full;
    if (pan > 0) left = full - (pan * full) / 128;
    if (pan < 0) right = full + (pan * full) / 128;
    return (static_cast<uint32_t>(right) << 16) | static_cast<uint32_t>(left);
}

LONG64 EstimatePosition(const PositionClock &clock, LONG64 nowTicks, LONG64 ticksPerSecond,
                        LONG64 played, LONG64 written, int paused, int bytesPerSecond) {
    if (written <= played) return played;
    LONG64 estimate = played > clock.LastBytes ? played : clock.LastBytes;
    if (!paused && clock.AnchorTicks != 0 && bytesPerSecond > 0 && ticksPerSecond > 0) {
        LONG64 elapsed = nowTicks - clock.AnchorTicks;
        LONG64 longest = ticksPerSecond * CLOCK_MAX_AHEAD_MS / 1000;
        if (elapsed > longest) elapsed = longest;
        if (elapsed < 0) elapsed = 0;
        LONG64 ahead = clock.AnchorBytes + elapsed * bytesPerSecond / ticksPerSecond;
        if (ahead > estimate) estimate = ahead;
    }
    return estimate < written ? estimate : written;
}
