// CTonvale: settings, listening socket, the frame loop under the fault guard,
// frame dispatch, replies and CMD_PLAYED notifications.
#include "tonvale.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "client_watch.h"
#include "fault_guard.h"

void (*PayloadReceivedHook)(const FrameHeader &header, const unsigned char *payload);

// Run and Stop run on different threads; whichever takes the handle closes it,
// so no socket is ever closed twice.
static void CloseSocketOnce(volatile SOCKET *socketVariable) {
    SOCKET taken = static_cast<SOCKET>(InterlockedExchange(
        reinterpret_cast<volatile LONG *>(socketVariable), static_cast<LONG>(INVALID_SOCKET)));
    if (taken != INVALID_SOCKET)
        closesocket(taken);
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
    wchar_t settingsPath[MAX_PATH + 8];
    _snwprintf(settingsPath, MAX_PATH + 8, L"%ls%ls", ModuleBasePath, L"ini");
    settingsPath[MAX_PATH + 7] = 0;
    ListenPort = static_cast<uint16_t>(
        GetPrivateProfileIntW(L"COMMON", L"listernPort", 4554, settingsPath));
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
    if (OpenListenSocket()) {
        LogMessage(L"Tonvale started\n");
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
    LogMessage(L"Tonvale stopped\n");
}

// Reads and handles frames until the connection ends. Returns false when a
// fault was caught; the lock and the interrupted frame's payload are then
// released here.
bool CTonvale::ServeConnection() {
    WatchConnection(ClientSocket);
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
    PlayDeviceClose(&Device);
}

// Keep-alive finds a peer that vanished without a word, which would otherwise
// hold the only slot (and its device) for good; the failed receive then ends
// the connection like any other.
void CTonvale::WatchConnection(SOCKET client) {
    EnableKeepAlive(client);
    StartIdleWatch(&Watch);
}

bool CTonvale::ReceiveAll(unsigned char *buffer, int32_t length) {
    int32_t received = 0;
    while (received < length) {
        int got = recv(ClientSocket, reinterpret_cast<char *>(buffer) + received,
                       length - received, 0);
        if (got <= 0)
            return false;
        received += got;
    }
    return true;
}

bool CTonvale::ReadFrame() {
    if (AwaitFrameOrWaitingClient(&Watch, Device.WaveHandle != nullptr, &ClientSocket,
                                  &ListenSocket) == ClientWait::YieldToWaitingClient)
        return false;
    unsigned char raw[FRAME_HEADER_SIZE];
    // A header that arrives in pieces is completed; nothing is acted on before
    // all five bytes are here.
    if (!ReceiveAll(raw, FRAME_HEADER_SIZE))
        return false;
    FrameHeader header = DecodeFrameHeader(raw);

    EnterCriticalSection(&DeviceLock);
    PayloadLockHeld = true;
    if (header.Value > 0) {
        if (header.Value <= MAX_PAYLOAD_BYTES)
            PendingPayload = static_cast<unsigned char *>(malloc(header.Value));
        if (!PendingPayload)
            RaiseException(STATUS_NO_MEMORY, EXCEPTION_NONCONTINUABLE, 0, nullptr);
        if (!ReceiveAll(PendingPayload, header.Value)) {
            PayloadLockHeld = false;
            LeaveCriticalSection(&DeviceLock);
            free(PendingPayload);
            PendingPayload = nullptr;
            return false;
        }
    }
    if (PayloadReceivedHook)
        PayloadReceivedHook(header, PendingPayload);
    PayloadLockHeld = false;
    LeaveCriticalSection(&DeviceLock);

    DispatchFrame(header, PendingPayload);
    free(PendingPayload);
    PendingPayload = nullptr;
    return true;
}

void CTonvale::DispatchFrame(const FrameHeader &header, const unsigned char *payload) {
    const int32_t length = header.Value;
    switch (static_cast<int8_t>(header.Code)) {
    case CMD_OPEN: {
        bool opened = payload && length == PCM_FORMAT_SIZE &&
                      PlayDeviceOpen(&Device, reinterpret_cast<const PcmFormat *>(payload), this);
        if (!opened)
            LogMessage(L"Can't open sound device\n");
        SendReply(CMD_OPEN, opened ? 0 : 1);
        break;
    }
    case CMD_WRITE:
        if (!payload || length <= 0 || !PlayDeviceWrite(&Device, length, payload))
            LogMessage(L"Can't write buffer\n");
        break;
    case CMD_FLUSH:
        PlayDeviceFlush(&Device);
        SendReply(CMD_FLUSH, 0);
        break;
    case CMD_PAUSE:
        waveOutPause(Device.WaveHandle);
        break;
    case CMD_RESUME:
        waveOutRestart(Device.WaveHandle);
        break;
    case CMD_VOLUME:
        if (payload && length == VOLUME_WORD_SIZE) {
            memcpy(&Device.StoredVolume, payload, VOLUME_WORD_SIZE);
            if (Device.WaveHandle)
                waveOutSetVolume(Device.WaveHandle, Device.StoredVolume);
        }
        break;
    case CMD_CLOSE:
        PlayDeviceClose(&Device);
        SendReply(CMD_CLOSE, 0);
        break;
    default: // CMD_PLAYED from a client, and every unknown code
        break;
    }
}

void CTonvale::SendReply(uint8_t code, int32_t value) {
    unsigned char raw[FRAME_HEADER_SIZE];
    EncodeFrameHeader(code, value, raw);
    send(ClientSocket, reinterpret_cast<const char *>(raw), FRAME_HEADER_SIZE, 0);
}

void CTonvale::OnEndPlay(int32_t bytes) {
    unsigned char raw[FRAME_HEADER_SIZE];
    EncodeFrameHeader(CMD_PLAYED, bytes, raw);
    EnterCriticalSection(&DeviceLock);
    send(ClientSocket, reinterpret_cast<const char *>(raw), FRAME_HEADER_SIZE, 0);
    LeaveCriticalSection(&DeviceLock);
}

void CTonvale::Stop() {
    CloseSocketOnce(&ClientSocket);
    CloseSocketOnce(&ListenSocket);
    WSACleanup();
}

void CTonvale::Pause() {}
void CTonvale::Continue() {}
