// Keep-alive on accepted connections, and the wait before each receive that
// watches the listening socket too, so that an idle or dry connection does not
// hold the service's only slot while another player waits.
#include "client_watch.h"

#include <mstcpip.h>

#include "../protocol/frames.h"

DWORD DryYieldAfterMs = DRY_YIELD_AFTER_MS;

// Short enough that a wait notices at once that Stop has closed a socket even
// where closing does not wake a select, and that a device has run dry.
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
    watch->LastFrameAt = watch->NoDeviceSince;
    watch->Paused = false;
}

void NoteFrame(IdleWatch *watch, uint8_t code) {
    watch->LastFrameAt = GetTickCount();
    if (code == CMD_PAUSE)
        watch->Paused = true;
    else if (code == CMD_RESUME || code == CMD_OPEN || code == CMD_CLOSE)
        watch->Paused = false;
}

static bool IsDry(const IdleWatch *watch, const PlayDevice *device) {
    return !watch->Paused && device->DoneCount == device->QueuedCount;
}

// How much longer the connection must stay as it is before it may give way;
// 0 once it may, INFINITE while it never may.
static DWORD TimeBeforeGivingWay(IdleWatch *watch, const PlayDevice *device) {
    DWORD now = GetTickCount();
    DWORD since, after;
    if (device->WaveHandle) {
        watch->DeviceWasOpen = true;
        if (!IsDry(watch, device))
            return INFINITE;
        since = watch->LastFrameAt;
        after = DryYieldAfterMs;
    } else {
        if (watch->DeviceWasOpen)
            StartIdleWatch(watch);
        since = watch->NoDeviceSince;
        after = YIELD_AFTER_IDLE_MS;
    }
    DWORD elapsed = now - since;
    return elapsed >= after ? 0 : after - elapsed;
}

ClientWait AwaitDataOrWaitingClient(IdleWatch *watch, const PlayDevice *device,
                                    volatile SOCKET *clientSocket,
                                    volatile SOCKET *listenSocket) {
    for (;;) {
        SOCKET client = *clientSocket;
        SOCKET listening = *listenSocket;
        // Stop took the socket: the receive that follows fails and ends the
        // connection the usual way.
        if (client == INVALID_SOCKET)
            return ClientWait::DataArriving;
        DWORD remaining = TimeBeforeGivingWay(watch, device);
        bool mayYield = listening != INVALID_SOCKET && remaining == 0;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(client, &readable);
        // Before the time is up a waiting client changes nothing, so the
        // listening socket is looked at only from then on.
        if (mayYield)
            FD_SET(listening, &readable);
        DWORD waitMs = remaining > 0 && remaining < WAIT_SLICE_MS ? remaining : WAIT_SLICE_MS;
        timeval timeout = {0, static_cast<long>(waitMs * 1000)};
        int ready = select(0, &readable, nullptr, nullptr, &timeout);
        if (ready == SOCKET_ERROR)
            return ClientWait::DataArriving; // the receive reports what is wrong
        // Checked first: a client that never stops sending must give way too.
        if (mayYield && FD_ISSET(listening, &readable))
            return ClientWait::YieldToWaitingClient;
        if (FD_ISSET(client, &readable))
            return ClientWait::DataArriving;
    }
}
