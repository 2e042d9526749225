// The socket under a link: resolving and connecting (part of the link layer).
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <stdint.h>

// A connected socket with Nagle's algorithm off, or INVALID_SOCKET. With no
// `stop` the connect takes as long as the system's does; otherwise it gives
// up after `limitMs` or once `stop` is set.
SOCKET ConnectSocket(const char *name, uint16_t port, HANDLE stop, DWORD limitMs);
