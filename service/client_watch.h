// Watching the served connection: TCP keep-alive that finds a peer which
// vanished without closing, and the wait before each frame that lets an idle
// connection give way to a client waiting in the listen backlog.
#pragma once

#include <winsock2.h>
#include <windows.h>

// A peer that answers no keep-alive probe is given up after the idle time
// plus one interval per probe: 10 probes on Windows, 9 under Linux (Wine
// passes the timings on), so within about 20 s either way.
enum : ULONG { KEEPALIVE_IDLE_MS = 10000, KEEPALIVE_INTERVAL_MS = 1000 };
// A connection with no device open for this long gives way to a waiting client.
enum : DWORD { YIELD_AFTER_IDLE_MS = 2000 };

// Switches keep-alive on with the timings above; false when the stack refused.
bool EnableKeepAlive(SOCKET socket);

// Since when the served connection has had no device open.
struct IdleWatch {
    bool DeviceWasOpen = false;
    DWORD NoDeviceSince = 0;
};

enum class ClientWait { FrameArriving, YieldToWaitingClient };

// Called when a connection has been accepted (with no device open).
void StartIdleWatch(IdleWatch *watch);
// Called before each frame header is read. With a device open it returns at
// once: the header's blocking receive follows, as a playing connection is never
// cut. Without one it waits until the client sends something (or fails, or
// Stop has taken its socket), or until a client is waiting in the backlog
// while this connection has had no device for YIELD_AFTER_IDLE_MS.
ClientWait AwaitFrameOrWaitingClient(IdleWatch *watch, bool deviceOpen,
                                     volatile SOCKET *clientSocket,
                                     volatile SOCKET *listenSocket);
