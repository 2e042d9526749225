// Buffer and position accounting. The counters are 64-bit, so a stream of
// any length keeps its flow control and its times; results that the host
// takes as int are capped at INT_MAX rather than wrapped.
#include "plugin/accounting.h"

#include <limits.h>

#include "plugin/plugin_state.h"
#include "plugin/position_clock.h"
#include "plugin/server_link.h"

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

int __cdecl CanWrite() {
    // Nothing more will be played over a connection that the service has
    // ended, so the pending bytes would never go down and the host would wait
    // for room for ever. The whole buffer is offered instead: the host's next
    // Write then reports the lost link.
    if (PluginState.StreamOpen && LinkReaderEnded())
        return WritableBytes(0, 0, LoadCounter(&PluginState.BufferBytes), PluginState.Paused);
    return WritableBytes(LoadCounter(&PluginState.WrittenBytes),
                         LoadCounter(&PluginState.PlayedBytes),
                         LoadCounter(&PluginState.BufferBytes), PluginState.Paused);
}

int __cdecl IsPlaying() {
    if (LinkReaderEnded()) return 0;  // what is still pending will never be played
    LONG64 pending = LoadCounter(&PluginState.WrittenBytes) - LoadCounter(&PluginState.PlayedBytes);
    return pending > 0 && PluginState.Paused == 0 ? 1 : 0;
}

void __cdecl Flush(int positionMs) {
    if (!SendRequest(CMD_FLUSH, nullptr, 0) || !AwaitReply(CMD_FLUSH)) {
        SendFailure();
        return;
    }
    // Every CMD_PLAYED for the dropped blocks came before the reply, so no
    // addition for them can land after these stores.
    StoreCounter(&PluginState.WrittenBytes, BytePositionOf(positionMs, PluginState.BytesPerSecond));
    StoreCounter(&PluginState.PlayedBytes, LoadCounter(&PluginState.WrittenBytes));
    ClockRestart(LoadCounter(&PluginState.WrittenBytes));
}

int __cdecl GetWrittenTime() {
    return BytesToMs(LoadCounter(&PluginState.WrittenBytes), PluginState.NumChannels,
                     PluginState.SampleRate, PluginState.BitsPerSample);
}

int __cdecl GetOutputTime() {
    return BytesToMs(ClockPosition(), PluginState.NumChannels,
                     PluginState.SampleRate, PluginState.BitsPerSample);
}
