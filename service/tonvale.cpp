// CTonvale: settings, listening socket, the connection's set-up and end, and
// the frame loop under the fault guard. The frames themselves (reading,
// dispatch, replies, CMD_PLAYED reports) are in client_frames.cpp.
#include "tonvale.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "client_watch.h"
#include "fault_guard.h"
#include "mdns_responder.h"

// Run, Stop and the dry watch run on different threads; whichever takes the
// socket closes it.
static void CloseSocketOnce(volatile SOCKET *socketVariable) {
    for (;;) {
        SOCKET seen = *socketVariable;
        if (seen == INVALID_SOCKET || CloseSocketIfStill(socketVariable, seen))
            return;
    }
}

CTonvale::CTonvale() {
    ModuleBasePathOf(ModuleBasePath, MAX_PATH);
    InitializeCriticalSection(&DeviceLock);
}

CTonvale::~CTonvale() {
    // Buffers given back by this close still report through OnEndPlay, which
    // takes the lock: the lock must outlive the device.
    PlayDeviceClose(&Device);
    DeleteCriticalSection(&DeviceLock);
}

const wchar_t *CTonvale::GetName() { return L"Tonvaled"; }
const wchar_t *CTonvale::GetDescription() { return L"Service for tonvale sound"; }

int CTonvale::Init() {
    ListenSocket = INVALID_SOCKET;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 0), &data) != 0) {
        LogMessage(L"Can't initialise network\n");
        return -1;
    }
    _snwprintf(SettingsPath, MAX_PATH + 8, L"%ls%ls", ModuleBasePath, L"ini");
    SettingsPath[MAX_PATH + 7] = 0;
    ListenPort = static_cast<uint16_t>(
        GetPrivateProfileIntW(L"COMMON", L"listernPort", 4554, SettingsPath));
    return 0;
}

bool CTonvale::OpenListenSocket() {
    ListenSocket = socket(AF_INET, SOCK_STREAM, 0);
    if (ListenSocket == INVALID_SOCKET) {
        LogMessage(L"Can't open clien socket.\n");
        return false;
    }
    char reuse = 1;
    if (setsockopt(ListenSocket, SOL_SOCKET, SO_REUSEADDR, &reuse, 1) == SOCKET_ERROR) {
        LogMessage(L"Can't open clien socket.\n");
        CloseSocketOnce(&ListenSocket);
        return false;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(ListenPort);
    if (bind(ListenSocket, reinterpret_cast<sockaddr *>(&address), sizeof address) ==
            SOCKET_ERROR ||
        listen(ListenSocket, 1) == SOCKET_ERROR) {
        LogMessage(L"Can't bind address to client socket.\n");
        CloseSocketOnce(&ListenSocket);
        return false;
    }
    return true;
}

// A peer that connects and resets before the connection is accepted makes
// accept fail (Wine reports it as WSAENOTCONN); so does a moment without free
// sockets. Neither may end the service: only Stop, or a broken listening
// socket, does.
static bool IsPassingAcceptFailure(int error) {
    switch (error) {
    case WSAENOTCONN:
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAEINTR:
        return true;
    case WSAEMFILE:
    case WSAENOBUFS:
        Sleep(100);
        return true;
    default:
        return false;
    }
}

void CTonvale::Run() {
    MdnsResponder *announcer = nullptr;
    if (OpenListenSocket()) {
        LogMessage(L"Tonvale started\n");
        announcer = StartMdnsResponder(SettingsPath, ListenPort, Log);
        StartDryWatch(&Dry, &Device, &ClientSocket, &ListenSocket);
        for (;;) {
            ClientSocket = INVALID_SOCKET;
            sockaddr_in peer;
            int peerLength = sizeof peer;
            SOCKET client = accept(ListenSocket, reinterpret_cast<sockaddr *>(&peer), &peerLength);
            if (client == INVALID_SOCKET) {
                if (IsPassingAcceptFailure(WSAGetLastError()) && ListenSocket != INVALID_SOCKET)
                    continue;
                CloseSocketOnce(&ListenSocket);
                break;
            }
            ClientSocket = client;
            if (!ServeConnection())
                LogMessage(L"Access violation error\n");
            EndConnection();
        }
    }
    StopMdnsResponder(announcer);
    StopDryWatch(&Dry);
    LogMessage(L"Tonvale stopped\n");
}

// Reads and handles frames until the connection ends. Returns false when a
// fault was caught; the lock and the interrupted frame's payload are then
// released here.
bool CTonvale::ServeConnection() {
    SetUpConnection(ClientSocket);
    FaultGuard guard;
    if (setjmp(guard.Recovery) == 0) {
        ArmFaultGuard(&guard);
        try {
            while (ReadFrame()) {
            }
            DisarmFaultGuard();
            return true;
        } catch (...) {
            DisarmFaultGuard();
        }
    }
    if (PayloadLockHeld) {
        PayloadLockHeld = false;
        LeaveCriticalSection(&DeviceLock);
    }
    free(PendingPayload);
    PendingPayload = nullptr;
    return false;
}

// A device left open by a vanished client would refuse every later client, so
// each connection's device is closed with it, after the socket so that the
// last CMD_PLAYED frames never reach a later connection.
void CTonvale::EndConnection() {
    CloseSocketOnce(&ClientSocket);
    ReceiveBufferClear(&Received);
    PlayDeviceClose(&Device);
}

// Keep-alive finds a peer that vanished without a word, which would otherwise
// hold the only slot (and its device) for good; the failed receive then ends
// the connection like any other. Replies and CMD_PLAYED frames are 5 bytes
// each: held back by Nagle's algorithm until the peer's delayed
// acknowledgement, each would cost the player up to 40 ms.
void CTonvale::SetUpConnection(SOCKET client) {
    EnableKeepAlive(client);
    BOOL on = TRUE;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
    StartIdleWatch(&Watch);
    NoteConnection(&Dry);
}

void CTonvale::Stop() {
    CloseSocketOnce(&ClientSocket);
    CloseSocketOnce(&ListenSocket);
    WSACleanup();
}

void CTonvale::Pause() {}
void CTonvale::Continue() {}
