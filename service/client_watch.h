// Watching the served connection: TCP keep-alive that finds a peer which
// vanished without closing, the wait before each frame that lets an idle
// connection give way to a client waiting in the listen backlog, and the dry
// watch that lets a connection whose device has run dry give way too.
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

// Takes the socket out of *socketVariable (leaving INVALID_SOCKET) and closes
// it, but only while it still holds `expected`: threads that race to close
// the same variable close its socket once, and never a newer one.
bool CloseSocketIfStill(volatile SOCKET *socketVariable, SOCKET expected);

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

// A connection whose open device is dry (every buffer back, not paused) and
// whose player has sent no frame for this long gives way to a waiting client.
// A player that vanished mid-stream leaves unacknowledged reports behind, and
// while there are any, Linux sends no keep-alive probe, so keep-alive alone
// would not find it for minutes. Replaceable so that tests need not wait.
enum : DWORD { DRY_YIELD_AFTER_MS = 10000 };
extern DWORD DryYieldAfterMs;

// The dry watch: a thread of its own beside the run thread, which stays in
// its blocking receive while a device is open. A wait on the socket there
// instead would cost a call per receive, and Wine keeps the socket of a
// process terminated during such a wait open, so its player would not learn
// of the end. Every 250 ms the watch checks the rule above and, when a client
// waits in the backlog, closes the served socket, which ends the run
// thread's receive and so the connection, as Stop does.
struct DryWatch {
    const PlayDevice *Device = nullptr;
    volatile SOCKET *ClientSocket = nullptr;
    volatile SOCKET *ListenSocket = nullptr;
    // Written by the run thread only.
    volatile LONG LastFrameAt = 0;
    volatile LONG Paused = 0;
    HANDLE Stopping = nullptr;
    HANDLE Thread = nullptr;
};

// Starts the thread; false (and no dry rule) when it could not start.
bool StartDryWatch(DryWatch *watch, const PlayDevice *device, volatile SOCKET *clientSocket,
                   volatile SOCKET *listenSocket);
// Ends the thread and waits for it.
void StopDryWatch(DryWatch *watch);
// Called on the run thread when a connection has been accepted, and with
// each frame header taken from it.
void NoteConnection(DryWatch *watch);
void NoteFrame(DryWatch *watch, uint8_t code);
