// Bytes of a connection received ahead of the frame being read, so that one
// receive takes as many frames as have arrived: the service's frame reader
// and the plug-in's reply reader both read through it. The socket call is
// the caller's (a plain blocking receive on one side, one that a stop event
// can end on the other).
#pragma once

#include <stdint.h>
#include <string.h>

// Receives at most `room` bytes into `into`; returns how many, or 0 or less
// when the connection is over.
typedef int (*ReceiveSomeFunction)(void *context, unsigned char *into, int room);

// Data[Start, End) has been received and not yet taken.
struct ReceiveBuffer {
    unsigned char *Data;
    int32_t Size;
    int32_t Start;
    int32_t End;
};

inline int32_t ReceiveBufferHeld(const ReceiveBuffer *buffer) {
    return buffer->End - buffer->Start;
}

// Receives until at least `length` bytes (at most Size) are held, each time
// as many as there is room for. False when the connection ends first.
inline bool ReceiveBufferFill(ReceiveBuffer *buffer, int32_t length, ReceiveSomeFunction receive,
                              void *context) {
    while (buffer->End - buffer->Start < length) {
        if (buffer->Start > 0) {
            memmove(buffer->Data, buffer->Data + buffer->Start, buffer->End - buffer->Start);
            buffer->End -= buffer->Start;
            buffer->Start = 0;
        }
        int got = receive(context, buffer->Data + buffer->End, buffer->Size - buffer->End);
        if (got <= 0)
            return false;
        buffer->End += got;
    }
    return true;
}

// Takes `length` held bytes; they stay where they lie until the next fill.
inline const unsigned char *ReceiveBufferTake(ReceiveBuffer *buffer, int32_t length) {
    buffer->Start += length;
    return buffer->Data + buffer->Start - length;
}

inline void ReceiveBufferClear(ReceiveBuffer *buffer) { buffer->Start = buffer->End = 0; }
