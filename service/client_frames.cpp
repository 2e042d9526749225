// CTonvale's frames on the client's connection: reading them (whole frames,
// received ahead in batches), dispatching each to the wave-out device,
// replying, and reporting returned buffers with CMD_PLAYED. DeviceLock's rule
// is at its declaration in tonvale.h.
#include "tonvale.h"

#include <stdlib.h>
#include <string.h>

void (*PayloadReceivedHook)(const FrameHeader &header, const unsigned char *payload);

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
