// The plug-in's one global record: settings, link, stream format, byte
// counters, volume and balance. Every module of the plug-in works on it.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <stdint.h>

#include "protocol/frames.h"

struct LinkChannel;

struct PluginStateRecord {
    char SettingsPath[MAX_PATH];
    HINSTANCE ModuleInstance;

    char ServerAddr[MAX_PATH];
    uint16_t ServerPort;
    int BuffSize;

    // The current connection. LinkSocket and ReplyEvent mirror Link so that a
    // reader of the record sees the link as a socket and an event; Link is
    // what the link module works on, under its lock.
    SOCKET LinkSocket;
    HANDLE ReplyEvent;
    FrameHeader LastReply;
    LinkChannel *Link;

    int StreamOpen;
    int SampleRate;
    int NumChannels;
    int BitsPerSample;
    int BytesPerSecond;

    // 64-bit so that streams of any length (radio runs for days) keep their
    // flow control and times; every access goes through the Interlocked
    // functions because the reply reader adds to PlayedBytes.
    volatile LONG64 BufferBytes;
    volatile LONG64 WrittenBytes;
    volatile LONG64 PlayedBytes;

    int Paused;
    int Volume;
    int Pan;
};

extern PluginStateRecord PluginState;

inline LONG64 LoadCounter(volatile LONG64 *counter) {
    return InterlockedCompareExchange64(counter, 0, 0);
}

inline void StoreCounter(volatile LONG64 *counter, LONG64 value) {
    InterlockedExchange64(counter, value);
}

inline void AddToCounter(volatile LONG64 *counter, LONG64 amount) {
    InterlockedExchangeAdd64(counter, amount);
}

// The module description, also the title of every error box.
extern const char PluginTitle[];
