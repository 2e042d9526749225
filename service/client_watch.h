// Watching the served connection: TCP keep-alive that finds a peer which
// vanished without closing, and the wait before each receive that lets an
// idle or dry connection give way to a client waiting in the listen backlog.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <stdint.h>

#include "play_device.h"

// A peer that answers no keep-alive probe is given up after the idle time
// plus one interval per probe: 10 probes on Windows, 9 under Linux (Wine
// passes the timings on), so within about 20 s either way.
enum : ULONG { KEEPALIVE_IDLE_MS = 10000, KEEPALIVE_INTERVAL_MS = 1000 };
// A connection with no device open for this long gives way to a waiting client.
enum : DWORD { YIELD_AFTER_IDLE_MS = 2000 };
// A connection whose open device has played everything, is not paused and
// has sent no frame for this long gives way too: a player that vanished
// mid-stream leaves unacknowledged data behind, and while there is any,
// Linux sends no keep-alive probe, so keep-alive would not find it for
// minutes. Replaceable so that tests need not wait the full time.
extern DWORD DryYieldAfterMs;
enum : DWORD { DRY_YIELD_AFTER_MS = 10000 };

// Switches keep-alive on with the timings above; false when the stack refused.
bool EnableKeepAlive(SOCKET socket);

// What the run thread knows of the served connection, for the rules above.
struct IdleWatch {
    bool DeviceWasOpen = false;
    DWORD NoDeviceSince = 0;
    DWORD LastFrameAt = 0;
    bool Paused = false;
};

enum class ClientWait { DataArriving, YieldToWaitingClient };

// Called when a connection has been accepted (with no device open).
void StartIdleWatch(IdleWatch *watch);
// Called with each frame header taken from the connection.
void NoteFrame(IdleWatch *watch, uint8_t code);
// Called on the run thread before each receive from the client. Waits until
// the client sends something (or fails, or Stop has taken its socket), or
// until a client is waiting in the backlog while this connection may give
// way: it has had no device for YIELD_AFTER_IDLE_MS, or its device is dry
// (every buffer back, not paused) and no frame has come for DryYieldAfterMs.
// A paused device, or one with buffers queued, never gives way.
ClientWait AwaitDataOrWaitingClient(IdleWatch *watch, const PlayDevice *device,
                                    volatile SOCKET *clientSocket,
                                    volatile SOCKET *listenSocket);
