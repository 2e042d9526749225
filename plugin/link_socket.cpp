// The socket under a link: resolving the service's name and connecting to
// it, within a time limit when asked.
#include "plugin/link_socket.h"

#include <string.h>

enum { CONNECT_STEP_MS = 100 };

static bool ResolveServer(const char *name, in_addr *address) {
    hostent *host = gethostbyname(name);
    if (!host) {
        unsigned long dotted = inet_addr(name);
        if (dotted == INADDR_NONE) return false;
        host = gethostbyaddr(reinterpret_cast<const char *>(&dotted), 4, AF_INET);
        if (!host) return false;
    }
    if (host->h_addrtype != AF_INET || !host->h_addr_list[0]) return false;
    memcpy(address, host->h_addr_list[0], sizeof *address);
    return true;
}

// Requests are small and each waits for its reply or paces the stream:
// Nagle's algorithm would hold a request back until the service's delayed
// acknowledgement of the one before, up to 40 ms each time.
static void SendWithoutDelay(SOCKET socketHandle) {
    BOOL on = TRUE;
    setsockopt(socketHandle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on),
               sizeof on);
}

// A connect that gives up after `limitMs` or when `stop` is set: a path
// that has gone dead would otherwise hold it for minutes.
static bool ConnectWithin(SOCKET socketHandle, const sockaddr_in &address, HANDLE stop,
                          DWORD limitMs) {
    u_long nonBlocking = 1;
    if (ioctlsocket(socketHandle, FIONBIO, &nonBlocking) != 0) return false;
    bool connected = false;
    if (connect(socketHandle, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
        connected = true;
    } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
        DWORD start = GetTickCount();
        while (GetTickCount() - start < limitMs && WaitForSingleObject(stop, 0) != WAIT_OBJECT_0) {
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(socketHandle, &writable);
            FD_SET(socketHandle, &failed);
            timeval step = {0, CONNECT_STEP_MS * 1000};
            int ready = select(0, nullptr, &writable, &failed, &step);
            if (ready < 0 || FD_ISSET(socketHandle, &failed)) break;
            if (ready == 0) continue;
            int error = 0;
            int size = sizeof error;
            connected = getsockopt(socketHandle, SOL_SOCKET, SO_ERROR,
                                   reinterpret_cast<char *>(&error), &size) == 0 && error == 0;
            break;
        }
    }
    u_long blocking = 0;
    return connected && ioctlsocket(socketHandle, FIONBIO, &blocking) == 0;
}

SOCKET ConnectSocket(const char *name, uint16_t port, HANDLE stop, DWORD limitMs) {
    SOCKET socketHandle = socket(AF_INET, SOCK_STREAM, 0);
    if (socketHandle == INVALID_SOCKET) return INVALID_SOCKET;
    SendWithoutDelay(socketHandle);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    bool connected = ResolveServer(name, &address.sin_addr) &&
                     (stop ? ConnectWithin(socketHandle, address, stop, limitMs)
                           : connect(socketHandle, reinterpret_cast<sockaddr *>(&address),
                                     sizeof address) == 0);
    if (!connected) {
        closesocket(socketHandle);
        return INVALID_SOCKET;
    }
    return socketHandle;
}
