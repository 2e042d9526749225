// CTonvale: settings, listening socket, the frame loop under the fault guard,
// frame dispatch, replies and CMD_PLAYED notifications.
#include "tonvale.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "client_watch.h"
#include "fault_guard.h"
#include "mdns_responder.h"

void (*PayloadReceivedHook)(const FrameHeader &header, const unsigned char *payload);

// DeviceLock serialises the receiving of a frame against the sending of
// CMD_PLAYED reports: the run thread holds it from a frame's header to the
// end of its payload, the device's release thread for each send of a run of
// reports. It is never held while a frame is dispatched, and so never across
// a device flush or close: those wait for the release thread, which may be
// waiting for this lock to report the very buffers they drop.

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

static int ReceiveFromClient(void *app, unsigned char *into, int room) {
    return recv(static_cast<CTonvale *>(app)->ClientSocket, reinterpret_cast<char *>(into), room,
                0);
}

// Takes `length` bytes from what has been received, receiving as much as
// the buffer holds whenever it runs short.
bool CTonvale::TakeReceived(unsigned char *into, int32_t length) {
    if (!ReceiveBufferFill(&Received, length, ReceiveFromClient, this))
        return false;
    memcpy(into, ReceiveBufferTake(&Received, length), length);
    return true;
}

// A payload that fits the receive buffer is completed there, each receive
// taking whatever follows it too, and used where it lies; a longer one gets
// a heap buffer of exactly its size, filled from what has arrived and then
// straight from the socket. Null when the connection ends first.
const unsigned char *CTonvale::ReceivePayload(int32_t length) {
    if (length > MAX_PAYLOAD_BYTES)
        RaiseException(STATUS_NO_MEMORY, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    if (length <= Received.Size) {
        if (!ReceiveBufferFill(&Received, length, ReceiveFromClient, this))
            return nullptr;
        return ReceiveBufferTake(&Received, length);
    }
    int32_t buffered = ReceiveBufferHeld(&Received);
    PendingPayload = static_cast<unsigned char *>(malloc(length));
    if (!PendingPayload)
        RaiseException(STATUS_NO_MEMORY, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    memcpy(PendingPayload, ReceiveBufferTake(&Received, buffered), buffered);
    ReceiveBufferClear(&Received);
    if (!ReceiveAll(PendingPayload + buffered, length - buffered))
        return nullptr;
    return PendingPayload;
}

// A device held for priming starts by its deadline even when the client sends
// nothing more (a stream shorter than the priming amount).
void CTonvale::AwaitFrameWhileHeld() {
    DWORD left = PlayDeviceHoldLeftMs(&Device);
    if (left == INFINITE || ReceiveBufferHeld(&Received) >= FRAME_HEADER_SIZE)
        return;
    SOCKET client = ClientSocket;
    if (left > 0 && client != INVALID_SOCKET) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(client, &readable);
        timeval timeout = {0, static_cast<long>(left * 1000)};
        if (select(0, &readable, nullptr, nullptr, &timeout) != 0)
            return; // a frame, or an error for the receive to report
    }
    PlayDeviceStartHeld(&Device);
}

bool CTonvale::ReadFrame() {
    AwaitFrameWhileHeld();
    // Frames already received are served before the socket is waited on.
    if (ReceiveBufferHeld(&Received) < FRAME_HEADER_SIZE) {
        ClientWait wait = AwaitFrameOrWaitingClient(&Watch, Device.WaveHandle != nullptr,
                                                    &ClientSocket, &ListenSocket);
        if (wait == ClientWait::YieldToWaitingClient)
            return false;
    }
    unsigned char raw[FRAME_HEADER_SIZE];
    // A header that arrives in pieces is completed; nothing is acted on before
    // all five bytes are here.
    if (!TakeReceived(raw, FRAME_HEADER_SIZE))
        return false;
    FrameHeader header = DecodeFrameHeader(raw);
    NoteFrame(&Dry, header.Code);

    EnterCriticalSection(&DeviceLock);
    PayloadLockHeld = true;
    const unsigned char *payload = nullptr;
    if (header.Value > 0) {
        payload = ReceivePayload(header.Value);
        if (!payload) {
            PayloadLockHeld = false;
            LeaveCriticalSection(&DeviceLock);
            free(PendingPayload);
            PendingPayload = nullptr;
            return false;
        }
    }
    if (PayloadReceivedHook)
        PayloadReceivedHook(header, payload);
    PayloadLockHeld = false;
    LeaveCriticalSection(&DeviceLock);

    DispatchFrame(header, payload);
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
        PlayDevicePause(&Device);
        break;
    case CMD_RESUME:
        PlayDeviceResume(&Device);
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

void CTonvale::OnEndPlay(int32_t bytes) { OnEndPlayRun(&bytes, 1); }

// A run of CMD_PLAYED frames leaves in one send: each frame whole, in order.
void CTonvale::OnEndPlayRun(const int32_t *lengths, int count) {
    unsigned char raw[END_PLAY_RUN_MAX * FRAME_HEADER_SIZE];
    for (int first = 0; first < count; first += END_PLAY_RUN_MAX) {
        int frames = count - first < END_PLAY_RUN_MAX ? count - first : END_PLAY_RUN_MAX;
        for (int i = 0; i < frames; i++)
            EncodeFrameHeader(CMD_PLAYED, lengths[first + i], raw + i * FRAME_HEADER_SIZE);
        EnterCriticalSection(&DeviceLock);
        send(ClientSocket, reinterpret_cast<const char *>(raw), frames * FRAME_HEADER_SIZE, 0);
        LeaveCriticalSection(&DeviceLock);
    }
}

void CTonvale::Stop() {
    CloseSocketOnce(&ClientSocket);
    CloseSocketOnce(&ListenSocket);
    WSACleanup();
}

void CTonvale::Pause() {}
void CTonvale::Continue() {}
