// Keep-alive on accepted connections, and the wait before each frame header
// that watches the listening socket too, so that an idle connection does not
// hold the service's only slot while another player waits.
#include "client_watch.h"

#include <mstcpip.h>

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
