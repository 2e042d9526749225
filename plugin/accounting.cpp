// Buffer and position accounting. The counters are 64-bit, so a stream of
// any length keeps its flow control and its times; results that the host
// takes as int are capped at INT_MAX rather than wrapped.
#include "plugin/accounting.h"

#include <limits.h>

#include "plugin/plugin_state.h"
#include "plugin/position_clock.h"
#include "plugin/server_link.h"
#include "plugin/stream_resume.h"

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

PcmFormat StreamFormat() {
    return FormatOf(PluginState.SampleRate, PluginState.NumChannels, PluginState.BitsPerSample);
}

int __cdecl CanWrite() {
    // A stream that could not be put back takes the rest of its bytes and
    // drops them, so that the host reaches its next track instead of waiting
    // for room for ever.
    if (StreamGivenUp(StreamState()))
        return WritableBytes(0, 0, LoadCounter(&PluginState.BufferBytes), PluginState.Paused);
    return WritableBytes(LoadCounter(&PluginState.WrittenBytes),
                         LoadCounter(&PluginState.PlayedBytes),
                         LoadCounter(&PluginState.BufferBytes), PluginState.Paused);
}

int __cdecl IsPlaying() {
    int state = StreamState();
    if (StreamGivenUp(state)) return 0;
    // With no stream to put back, what is pending over an ended connection
    // will never be played.
    if (state == STREAM_NONE && LinkReaderEnded()) return 0;
    LONG64 pending = LoadCounter(&PluginState.WrittenBytes) - LoadCounter(&PluginState.PlayedBytes);
    return pending > 0 && PluginState.Paused == 0 ? 1 : 0;
}

// Both counters at the new position; nothing before it is kept.
static void MoveTo(LONG64 position) {
    StoreCounter(&PluginState.WrittenBytes, position);
    StoreCounter(&PluginState.PlayedBytes, position);
    RestartKeptAt(position);
    ClockRestart(position);
}

void __cdecl Flush(int positionMs) {
    LONG64 position = BytePositionOf(positionMs, PluginState.BytesPerSecond);
    EnterStream();
    int state = StreamState();
    if (state == STREAM_RECONNECTING) {
        // The service that comes back starts at the new position.
        MoveTo(position);
        LeaveStream();
        return;
    }
    if (StreamGivenUp(state)) {
        bool report = TakeGivenUpReport();
        LeaveStream();
        if (report) ReportSendFailure();
        return;
    }
    bool sent = SendRequest(CMD_FLUSH, nullptr, 0);
    if (sent && AwaitReply(CMD_FLUSH)) {
        // Every CMD_PLAYED for the dropped blocks came before the reply, so no
        // addition for them can land after these stores.
        MoveTo(position);
        LeaveStream();
        return;
    }
    // A connection that ended is put back at the new position; a reply that
    // never came is a service that hangs, and that is reported. The reader
    // that saw the end may already have started the resume, whose new
    // connection then is the current one: the stream's state tells.
    bool lost = state == STREAM_LINKED &&
                (!sent || LinkReaderEnded() || StreamState() == STREAM_RECONNECTING);
    if (lost) {
        MoveTo(position);
        StreamLinkLost();
    }
    LeaveStream();
    if (!lost) SendFailure();
}

int __cdecl GetWrittenTime() {
    return BytesToMs(LoadCounter(&PluginState.WrittenBytes), PluginState.NumChannels,
                     PluginState.SampleRate, PluginState.BitsPerSample);
}

int __cdecl GetOutputTime() {
    return BytesToMs(ClockPosition(), PluginState.NumChannels,
                     PluginState.SampleRate, PluginState.BitsPerSample);
}
