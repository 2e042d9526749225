// The player's buffer, position and volume operations, read from the
// stream's record or handed to the stream.
#include "plugin/accounting.h"

#include "plugin/arithmetic.h"
#include "plugin/boxes.h"
#include "plugin/position_clock.h"
#include "plugin/stream.h"
#include "plugin/stream_state.h"
#include "plugin/volume.h"

int __cdecl CanWrite() {
    // A stream that could not be put back takes the rest of its bytes and
    // drops them, so that the host reaches its next track instead of waiting
    // for room for ever.
    if (StreamGivenUp(StreamState()))
        return WritableBytes(0, 0, LoadCounter(&Stream.BufferBytes), Stream.Paused);
    return WritableBytes(LoadCounter(&Stream.WrittenBytes), LoadCounter(&Stream.PlayedBytes),
                         LoadCounter(&Stream.BufferBytes), Stream.Paused);
}

int __cdecl IsPlaying() {
    int state = StreamState();
    if (StreamGivenUp(state)) return 0;
    // With no stream to put back, what is pending over an ended connection
    // will never be played.
    if (state == STREAM_NONE && StreamConnectionEnded()) return 0;
    LONG64 pending = LoadCounter(&Stream.WrittenBytes) - LoadCounter(&Stream.PlayedBytes);
    return pending > 0 && Stream.Paused == 0 ? 1 : 0;
}

void __cdecl Flush(int positionMs) { Say(FlushStream(positionMs)); }

int __cdecl GetWrittenTime() {
    return BytesToMs(LoadCounter(&Stream.WrittenBytes), Stream.NumChannels, Stream.SampleRate,
                     Stream.BitsPerSample);
}

int __cdecl GetOutputTime() {
    return BytesToMs(ClockPosition(), Stream.NumChannels, Stream.SampleRate, Stream.BitsPerSample);
}

void __cdecl SetVolume(int volume) { SetStreamVolume(volume); }

void __cdecl SetPan(int pan) { SetStreamPan(pan); }
