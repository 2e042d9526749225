// The link layer. Each connection lives in a LinkChannel of its own: its
// socket, its events, its last reply and its reader thread. The reader gets
// the channel when it starts, so it can never read from, answer for, or set
// the event of another connection; the channel (socket and event with it) is
// freed only when its last holder lets go, so no event is closed while its
// reader or a waiting request can still use it.
//
// Each channel has two locks of its own: ReplyLock guards the reply slot;
// SendLock keeps the header and payload of one request together on the wire.
// DropLink stops the reader's receive, shuts the socket down and waits for
// the reader, so no reader outlives its owner; the reader also holds a
// reference on the module until its last instruction, in case the host
// unloads the DLL without Quit.
#include "plugin/server_link.h"

#include <string.h>

#include "plugin/link_socket.h"
#include "protocol/frames.h"
#include "protocol/receive_buffer.h"

struct LinkChannel {
    SOCKET Socket;
    const LinkEvents *Events;
    HANDLE Event;
    // The reader receives with overlapped calls, so that DropLink can end a
    // receive that the local shutdown alone does not end.
    HANDLE ReceiveDone;
    HANDLE Stop;
    HANDLE Reader;
    HMODULE ModuleReference;
    SRWLOCK ReplyLock;
    SRWLOCK SendLock;
    FrameHeader LastReply;
    volatile LONG References;
    // Set once the reader has left its loop: no reply or played count will
    // come over the connection any more.
    volatile LONG ReaderEnded;
};

// Long enough for any reader to leave its receive once its socket is shut.
// The reader asks whether the link is silent this often while it waits.
enum { READER_END_WAIT_MS = 5000, WATCH_STEP_MS = 1000 };

void HoldLink(LinkChannel *link) { InterlockedIncrement(&link->References); }

void ReleaseLink(LinkChannel *link) {
    if (InterlockedDecrement(&link->References) != 0) return;
    closesocket(link->Socket);
    CloseHandle(link->Event);
    CloseHandle(link->ReceiveDone);
    CloseHandle(link->Stop);
    if (link->Reader) CloseHandle(link->Reader);
    delete link;
}

// Waits for the receive to complete; false when the channel is stopped or
// its owner finds the link silent too long.
static bool AwaitReceive(LinkChannel *channel) {
    HANDLE waits[2] = {channel->ReceiveDone, channel->Stop};
    for (;;) {
        DWORD woke = WaitForMultipleObjects(2, waits, FALSE, WATCH_STEP_MS);
        if (woke == WAIT_OBJECT_0) return true;
        if (woke != WAIT_TIMEOUT) return false;
        if (channel->Events->Silent(channel)) return false;
    }
}

// One receive that ends early when the channel is stopped; the socket stays
// in blocking mode for the senders. Returns the bytes received, or 0 or less
// when the connection is over.
static int ReceiveSome(LinkChannel *channel, char *into, int length) {
    WSABUF buffer = {static_cast<ULONG>(length), into};
    WSAOVERLAPPED overlapped = {};
    overlapped.hEvent = channel->ReceiveDone;
    ResetEvent(channel->ReceiveDone);
    DWORD got = 0;
    DWORD flags = 0;
    if (WSARecv(channel->Socket, &buffer, 1, &got, &flags, &overlapped, nullptr) == 0)
        return static_cast<int>(got);
    if (WSAGetLastError() != WSA_IO_PENDING) return -1;
    if (!AwaitReceive(channel)) {
        CancelIo(reinterpret_cast<HANDLE>(channel->Socket));
        WSAGetOverlappedResult(channel->Socket, &overlapped, &got, TRUE, &flags);
        return -1;
    }
    if (!WSAGetOverlappedResult(channel->Socket, &overlapped, &got, FALSE, &flags)) return -1;
    return static_cast<int>(got);
}

static int ReceiveFromChannel(void *channel, unsigned char *into, int room) {
    return ReceiveSome(static_cast<LinkChannel *>(channel), reinterpret_cast<char *>(into), room);
}

// The service reports played buffers in runs of frames; one receive takes as
// many as have arrived.
static bool ReceiveFrame(LinkChannel *channel, ReceiveBuffer *buffer,
                         unsigned char frame[FRAME_HEADER_SIZE]) {
    if (!ReceiveBufferFill(buffer, FRAME_HEADER_SIZE, ReceiveFromChannel, channel)) return false;
    memcpy(frame, ReceiveBufferTake(buffer, FRAME_HEADER_SIZE), FRAME_HEADER_SIZE);
    return true;
}

static void PostReply(LinkChannel *channel, FrameHeader reply) {
    AcquireSRWLockExclusive(&channel->ReplyLock);
    channel->LastReply = reply;
    SetEvent(channel->Event);
    ReleaseSRWLockExclusive(&channel->ReplyLock);
}

static DWORD WINAPI ReplyReader(void *parameter) {
    LinkChannel *channel = static_cast<LinkChannel *>(parameter);
    HMODULE module = channel->ModuleReference;
    unsigned char frame[FRAME_HEADER_SIZE];
    unsigned char received[4096];
    ReceiveBuffer buffer = {received, sizeof received, 0, 0};
    while (ReceiveFrame(channel, &buffer, frame)) {
        FrameHeader header = DecodeFrameHeader(frame);
        if (header.Code == CMD_PLAYED) {
            channel->Events->Played(channel, header.Value);
            continue;
        }
        PostReply(channel, header);
        Sleep(0);
    }
    // Marked before the closing reply, so that a request that reset the event
    // after that reply was posted still learns of the end (AwaitReply).
    InterlockedExchange(&channel->ReaderEnded, 1);
    channel->Events->Ended(channel);
    // The closing reply: no request expects code 0, so a waiting one fails now.
    PostReply(channel, FrameHeader{0, 1});
    ReleaseLink(channel);
    if (module) FreeLibraryAndExitThread(module, 0);
    return 0;
}

static bool StartReader(LinkChannel *channel) {
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCSTR>(&ReplyReader), &channel->ModuleReference);
    channel->Reader = CreateThread(nullptr, 0, ReplyReader, channel, 0, nullptr);
    if (channel->Reader) return true;
    if (channel->ModuleReference) FreeLibrary(channel->ModuleReference);
    return false;
}

LinkChannel *ConnectServer(const char *address, uint16_t port, const LinkEvents *events,
                           HANDLE stop, DWORD limitMs) {
    SOCKET socketHandle = ConnectSocket(address, port, stop, limitMs);
    if (socketHandle == INVALID_SOCKET) return nullptr;

    LinkChannel *channel = new LinkChannel();
    channel->Socket = socketHandle;
    channel->Events = events;
    channel->Event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    channel->ReceiveDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    channel->Stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    InitializeSRWLock(&channel->ReplyLock);
    InitializeSRWLock(&channel->SendLock);
    channel->References = 2;  // the owner's and the reader's
    if (!channel->Event || !channel->ReceiveDone || !channel->Stop || !StartReader(channel)) {
        channel->References = 1;
        ReleaseLink(channel);
        return nullptr;
    }
    return channel;
}

bool LinkEnded(LinkChannel *link) {
    return link && InterlockedCompareExchange(&link->ReaderEnded, 0, 0) != 0;
}

static bool ExpectsReply(uint8_t code) {
    return code == CMD_OPEN || code == CMD_FLUSH || code == CMD_CLOSE;
}

// Header and payload leave in one gathered send, so that a request costs one
// call and one segment where it fits. A short send is a broken link.
static bool SendFrame(SOCKET socketHandle, uint8_t code, const void *payload, int length) {
    unsigned char header[FRAME_HEADER_SIZE];
    EncodeFrameHeader(code, length, header);
    WSABUF parts[2] = {{FRAME_HEADER_SIZE, reinterpret_cast<char *>(header)},
                       {0, static_cast<char *>(const_cast<void *>(payload))}};
    DWORD count = 1;
    if (payload && length > 0) {
        parts[1].len = static_cast<ULONG>(length);
        count = 2;
    }
    DWORD total = parts[0].len + parts[1].len;
    DWORD sent = 0;
    return WSASend(socketHandle, parts, count, &sent, 0, nullptr, nullptr) == 0 && sent == total;
}

LinkResult SendRequest(LinkChannel *link, uint8_t code, const void *payload, int length) {
    if (!link) return LINK_ENDED;
    AcquireSRWLockExclusive(&link->SendLock);
    if (ExpectsReply(code)) ResetEvent(link->Event);
    bool whole = SendFrame(link->Socket, code, payload, length);
    ReleaseSRWLockExclusive(&link->SendLock);
    return whole ? LINK_DONE : LINK_ENDED;
}

// A Close whose wait ran out keeps the link, and the service, once it goes
// on, answers it before the next request. That late reply carries the Close's
// code: it is passed over, and the wait goes on for its own reply within the
// same time. The closing reply (code 0) ends the wait at once.
static bool IsLateReplyToAnother(const FrameHeader &reply, uint8_t code) {
    return reply.Code != code && reply.Code != 0;
}

static LinkResult ResultOf(const FrameHeader &reply, uint8_t code) {
    if (reply.Code != code) return LINK_ENDED;
    return reply.Value == 0 ? LINK_DONE : LINK_REFUSED;
}

LinkResult AwaitReply(LinkChannel *link, uint8_t code, HANDLE cancel) {
    // The request's own reset may have cleared the closing reply of a reader
    // that had already ended; no reply can come then, so there is no wait.
    if (!link || LinkEnded(link)) return LINK_ENDED;
    HANDLE waits[2] = {link->Event, cancel};
    DWORD count = cancel ? 2 : 1;
    DWORD start = GetTickCount();
    DWORD waited = 0;
    while (waited < REPLY_TIMEOUT_MS) {
        DWORD woke = WaitForMultipleObjects(count, waits, FALSE, REPLY_TIMEOUT_MS - waited);
        if (woke == WAIT_TIMEOUT) break;
        if (woke != WAIT_OBJECT_0) return LINK_ENDED;
        AcquireSRWLockShared(&link->ReplyLock);
        FrameHeader reply = link->LastReply;
        ReleaseSRWLockShared(&link->ReplyLock);
        if (!IsLateReplyToAnother(reply, code)) return ResultOf(reply, code);
        waited = GetTickCount() - start;
    }
    return LINK_TIMED_OUT;
}

void EndLink(LinkChannel *link) {
    SetEvent(link->Stop);
    shutdown(link->Socket, SD_BOTH);
}

void DropLink(LinkChannel *link) {
    if (!link) return;
    EndLink(link);
    if (link->Reader) WaitForSingleObject(link->Reader, READER_END_WAIT_MS);
    ReleaseLink(link);
}
