// Keep-alive on accepted connections, the wait before each frame header
// that watches the listening socket too, so that an idle connection does not
// hold the service's only slot while another player waits, and the dry watch
// that does the same for a connection whose device has run dry.
#include "client_watch.h"

#include <mstcpip.h>

#include "../protocol/frames.h"

DWORD DryYieldAfterMs = DRY_YIELD_AFTER_MS;

// Short enough that a wait notices at once that Stop has closed a socket even
// where closing does not wake a select.
static const DWORD WAIT_SLICE_MS = 250;

bool EnableKeepAlive(SOCKET socket) {
    tcp_keepalive values = {1, KEEPALIVE_IDLE_MS, KEEPALIVE_INTERVAL_MS};
    DWORD returned = 0;
    return WSAIoctl(socket, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned,
                    nullptr, nullptr) == 0;
}

void StartIdleWatch(IdleWatch *watch) {
    watch->DeviceWasOpen = false;
    watch->NoDeviceSince = GetTickCount();
}

ClientWait AwaitFrameOrWaitingClient(IdleWatch *watch, bool deviceOpen,
                                     volatile SOCKET *clientSocket,
                                     volatile SOCKET *listenSocket) {
    if (deviceOpen) {
        watch->DeviceWasOpen = true;
        return ClientWait::FrameArriving;
    }
    if (watch->DeviceWasOpen)
        StartIdleWatch(watch);
    for (;;) {
        SOCKET client = *clientSocket;
        SOCKET listening = *listenSocket;
        // Stop took the socket: the receive that follows fails and ends the
        // connection the usual way.
        if (client == INVALID_SOCKET)
            return ClientWait::FrameArriving;
        DWORD idleMs = GetTickCount() - watch->NoDeviceSince;
        bool mayYield = listening != INVALID_SOCKET && idleMs >= YIELD_AFTER_IDLE_MS;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(client, &readable);
        if (mayYield)
            FD_SET(listening, &readable);
        // Before the idle time is up a waiting client changes nothing, so the
        // listening socket is looked at only from then on.
        DWORD waitMs = mayYield ? WAIT_SLICE_MS : YIELD_AFTER_IDLE_MS - idleMs;
        if (waitMs > WAIT_SLICE_MS)
            waitMs = WAIT_SLICE_MS;
        timeval timeout = {0, static_cast<long>(waitMs * 1000)};
        int ready = select(0, &readable, nullptr, nullptr, &timeout);
        if (ready == SOCKET_ERROR)
            return ClientWait::FrameArriving; // the receive reports what is wrong
        // Checked first: a client that never stops sending must give way too.
        if (mayYield && FD_ISSET(listening, &readable))
            return ClientWait::YieldToWaitingClient;
        if (FD_ISSET(client, &readable))
            return ClientWait::FrameArriving;
    }
}

// Plain stores: an aligned 32-bit store is whole on x86, and the watch only
// needs to see it within its next slice, so no frame pays for a fence.
void NoteConnection(DryWatch *watch) {
    watch->LastFrameAt = static_cast<LONG>(GetTickCount());
    watch->Paused = 0;
}

void NoteFrame(DryWatch *watch, uint8_t code) {
    watch->LastFrameAt = static_cast<LONG>(GetTickCount());
    if (code == CMD_PAUSE)
        watch->Paused = 1;
    else if (code == CMD_RESUME || code == CMD_OPEN || code == CMD_CLOSE)
        watch->Paused = 0;
}

static bool IsDryAndQuiet(const DryWatch *watch) {
    const PlayDevice *device = watch->Device;
    DWORD quietMs = GetTickCount() - static_cast<DWORD>(watch->LastFrameAt);
    return device->WaveHandle && !watch->Paused && device->DoneCount == device->QueuedCount &&
           quietMs >= DryYieldAfterMs;
}

// A look at the backlog that returns at once.
static bool ClientWaiting(SOCKET listening) {
    if (listening == INVALID_SOCKET)
        return false;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listening, &readable);
    timeval now = {0, 0};
    return select(0, &readable, nullptr, nullptr, &now) == 1;
}

// A SOCKET is pointer-sized (64 bits on x64), so it is exchanged as a pointer:
// a 32-bit exchange would leave the high half and never make it INVALID_SOCKET.
bool CloseSocketIfStill(volatile SOCKET *socketVariable, SOCKET expected) {
    void *wanted = reinterpret_cast<void *>(expected);
    if (expected == INVALID_SOCKET ||
        InterlockedCompareExchangePointer(reinterpret_cast<void *volatile *>(socketVariable),
                                          reinterpret_cast<void *>(INVALID_SOCKET),
                                          wanted) != wanted)
        return false;
    closesocket(expected);
    return true;
}

static DWORD WINAPI DryWatchThread(void *parameter) {
    DryWatch *watch = static_cast<DryWatch *>(parameter);
    while (WaitForSingleObject(watch->Stopping, WAIT_SLICE_MS) == WAIT_TIMEOUT) {
        SOCKET client = *watch->ClientSocket;
        if (client != INVALID_SOCKET && IsDryAndQuiet(watch) &&
            ClientWaiting(*watch->ListenSocket) && IsDryAndQuiet(watch))
            CloseSocketIfStill(watch->ClientSocket, client); // not one accepted meanwhile
    }
    return 0;
}

bool StartDryWatch(DryWatch *watch, const PlayDevice *device, volatile SOCKET *clientSocket,
                   volatile SOCKET *listenSocket) {
    watch->Device = device;
    watch->ClientSocket = clientSocket;
    watch->ListenSocket = listenSocket;
    NoteConnection(watch);
    watch->Stopping = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (watch->Stopping)
        watch->Thread = CreateThread(nullptr, 0, DryWatchThread, watch, 0, nullptr);
    if (watch->Thread)
        return true;
    if (watch->Stopping)
        CloseHandle(watch->Stopping);
    watch->Stopping = nullptr;
    return false;
}

void StopDryWatch(DryWatch *watch) {
    if (!watch->Thread)
        return;
    SetEvent(watch->Stopping);
    WaitForSingleObject(watch->Thread, INFINITE);
    CloseHandle(watch->Thread);
    CloseHandle(watch->Stopping);
    watch->Thread = nullptr;
    watch->Stopping = nullptr;
}
