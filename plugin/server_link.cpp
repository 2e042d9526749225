// The server link. Each connection lives in a LinkChannel of its own: its
// socket, its event, its last reply and its reader thread. The reader gets
// the channel when it starts, so it can never read from, answer for, or set
// the event of a later connection; the channel (socket and event with it) is
// freed only when its last holder lets go, so no event is closed while its
// reader or a waiting request can still use it.
//
// Two locks: LinkLock guards which channel is current and the reply slots;
// SendLock keeps the header and payload of one request together on the wire.
// DropLink stops the reader's receive, shuts the socket down and waits for
// the reader, so no reader outlives Quit; the reader also holds a
// reference on the module until its last instruction, in case the host
// unloads the DLL without Quit.
#include "plugin/server_link.h"

#include "plugin/plugin_state.h"
#include "plugin/position_clock.h"
#include "plugin/stream_resume.h"
#include "protocol/receive_buffer.h"

struct LinkChannel {
    SOCKET Socket;
    HANDLE Event;
    // The reader receives with overlapped calls, so that DropLink can end a
    // receive that the local shutdown alone does not end.
    HANDLE ReceiveDone;
    HANDLE Stop;
    HANDLE Reader;
    HMODULE ModuleReference;
    FrameHeader LastReply;
    volatile LONG References;
    // Set once the reader has left its loop: the service closed or reset the
    // connection, so no reply or played count will come over it any more.
    volatile LONG ReaderEnded;
};

static SRWLOCK LinkLock = SRWLOCK_INIT;
static SRWLOCK SendLock = SRWLOCK_INIT;
// Set when "Can't send data to server" has been shown for the link that is
// gone, so that a host writing on does not get one box per Write; cleared by
// the next connection.
static volatile LONG SendFailureShown;

// Long enough for any reader to leave its receive once its socket is shut.
// The reader looks at the silent-link watch this often while it waits.
enum { READER_END_WAIT_MS = 5000, WATCH_STEP_MS = 1000, CONNECT_STEP_MS = 100 };

static void ReleaseChannel(LinkChannel *channel) {
    if (InterlockedDecrement(&channel->References) != 0) return;
    closesocket(channel->Socket);
    CloseHandle(channel->Event);
    CloseHandle(channel->ReceiveDone);
    CloseHandle(channel->Stop);
    if (channel->Reader) CloseHandle(channel->Reader);
    delete channel;
}

static LinkChannel *AcquireCurrentChannel() {
    AcquireSRWLockShared(&LinkLock);
    LinkChannel *channel = PluginState.Link;
    if (channel) InterlockedIncrement(&channel->References);
    ReleaseSRWLockShared(&LinkLock);
    return channel;
}

static void SetCurrentChannel(LinkChannel *channel) {
    PluginState.Link = channel;
    PluginState.LinkSocket = channel ? channel->Socket : INVALID_SOCKET;
    PluginState.ReplyEvent = channel ? channel->Event : nullptr;
}

// Ends a channel that is no longer current and gives up the record's hold.
// The socket itself is closed only with the channel, so its handle cannot be
// reused under a reader or a sender still holding it.
static void EndChannel(LinkChannel *channel) {
    SetEvent(channel->Stop);
    shutdown(channel->Socket, SD_BOTH);
    if (channel->Reader) WaitForSingleObject(channel->Reader, READER_END_WAIT_MS);
    ReleaseChannel(channel);
}

static bool IsCurrent(LinkChannel *channel) {
    AcquireSRWLockShared(&LinkLock);
    bool current = PluginState.Link == channel;
    ReleaseSRWLockShared(&LinkLock);
    return current;
}

// Waits for the receive to complete; false when the channel is stopped or the
// stream's link has been silent too long (no TCP error may ever come from a
// path that went dead).
static bool AwaitReceive(LinkChannel *channel) {
    HANDLE waits[2] = {channel->ReceiveDone, channel->Stop};
    for (;;) {
        DWORD woke = WaitForMultipleObjects(2, waits, FALSE, WATCH_STEP_MS);
        if (woke == WAIT_OBJECT_0) return true;
        if (woke != WAIT_TIMEOUT) return false;
        if (IsCurrent(channel) && StreamLinkSilent()) return false;
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
    AcquireSRWLockExclusive(&LinkLock);
    channel->LastReply = reply;
    if (PluginState.Link == channel) PluginState.LastReply = reply;
    SetEvent(channel->Event);
    ReleaseSRWLockExclusive(&LinkLock);
}

static void CountPlayed(LinkChannel *channel, int32_t bytes) {
    // Shared, so that DropLink cannot detach the channel between the test and
    // the addition and let a dead connection count into the next stream.
    AcquireSRWLockShared(&LinkLock);
    if (PluginState.Link == channel) {
        AddToCounter(&PluginState.PlayedBytes, bytes);
        ReleaseKept(bytes);
        ClockReport(LoadCounter(&PluginState.PlayedBytes));
    }
    ReleaseSRWLockShared(&LinkLock);
}

// Nothing more will be played over an ended connection: the position stays
// where it was given out instead of running on from the last report, and a
// stream that was playing over it is put back over a new one.
static void EndOfCurrent(LinkChannel *channel) {
    if (!IsCurrent(channel)) return;
    ClockHold();
    StreamLinkLost();
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
            CountPlayed(channel, header.Value);
            continue;
        }
        PostReply(channel, header);
        Sleep(0);
    }
    // Marked before the closing reply, so that a request that reset the event
    // after that reply was posted still learns of the end (AwaitReply).
    InterlockedExchange(&channel->ReaderEnded, 1);
    EndOfCurrent(channel);
    // The closing reply: no request expects code 0, so a waiting one fails now.
    PostReply(channel, FrameHeader{0, 1});
    ReleaseChannel(channel);
    if (module) FreeLibraryAndExitThread(module, 0);
    return 0;
}

static bool ResolveServer(in_addr *address) {
    hostent *host = gethostbyname(PluginState.ServerAddr);
    if (!host) {
        unsigned long dotted = inet_addr(PluginState.ServerAddr);
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

// With no `stop`, the connect takes as long as the system's does.
static SOCKET ConnectSocket(HANDLE stop, DWORD limitMs) {
    SOCKET socketHandle = socket(AF_INET, SOCK_STREAM, 0);
    if (socketHandle == INVALID_SOCKET) return INVALID_SOCKET;
    SendWithoutDelay(socketHandle);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(PluginState.ServerPort);
    bool connected = ResolveServer(&address.sin_addr) &&
                     (stop ? ConnectWithin(socketHandle, address, stop, limitMs)
                           : connect(socketHandle, reinterpret_cast<sockaddr *>(&address),
                                     sizeof address) == 0);
    if (!connected) {
        closesocket(socketHandle);
        return INVALID_SOCKET;
    }
    return socketHandle;
}

static bool StartReader(LinkChannel *channel) {
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCSTR>(&ReplyReader), &channel->ModuleReference);
    channel->Reader = CreateThread(nullptr, 0, ReplyReader, channel, 0, nullptr);
    if (channel->Reader) return true;
    if (channel->ModuleReference) FreeLibrary(channel->ModuleReference);
    return false;
}

static SOCKET Connect(HANDLE stop, DWORD limitMs) {
    SOCKET socketHandle = ConnectSocket(stop, limitMs);
    if (socketHandle == INVALID_SOCKET) return INVALID_SOCKET;

    LinkChannel *channel = new LinkChannel();
    channel->Socket = socketHandle;
    channel->Event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    channel->ReceiveDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    channel->Stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    channel->References = 1;  // the record's; the reader's is added when it starts
    if (!channel->Event || !channel->ReceiveDone || !channel->Stop) {
        ReleaseChannel(channel);
        return INVALID_SOCKET;
    }

    AcquireSRWLockExclusive(&LinkLock);
    LinkChannel *earlier = PluginState.Link;  // only when two threads connected at once
    SetCurrentChannel(channel);
    ReleaseSRWLockExclusive(&LinkLock);
    if (earlier) EndChannel(earlier);

    InterlockedIncrement(&channel->References);
    if (!StartReader(channel)) {
        InterlockedDecrement(&channel->References);
        DropLink();
        return INVALID_SOCKET;
    }
    InterlockedExchange(&SendFailureShown, 0);
    return socketHandle;
}

SOCKET ConnectServer() { return Connect(nullptr, 0); }

SOCKET ConnectServerUntil(HANDLE stop, DWORD limitMs) { return Connect(stop, limitMs); }

bool LinkReaderEnded() {
    LinkChannel *channel = AcquireCurrentChannel();
    if (!channel) return false;
    bool ended = InterlockedCompareExchange(&channel->ReaderEnded, 0, 0) != 0;
    ReleaseChannel(channel);
    return ended;
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

bool SendRequest(uint8_t code, const void *payload, int length) {
    AcquireSRWLockExclusive(&SendLock);
    LinkChannel *channel = AcquireCurrentChannel();
    bool whole = false;
    if (channel) {
        if (ExpectsReply(code)) ResetEvent(channel->Event);
        whole = SendFrame(channel->Socket, code, payload, length);
        ReleaseChannel(channel);
    }
    ReleaseSRWLockExclusive(&SendLock);
    return whole;
}

// A Close whose wait ran out keeps the link, and the service, once it goes
// on, answers it before the next request. That late reply carries the Close's
// code: it is passed over, and the wait goes on for its own reply within the
// same time. The closing reply (code 0) ends the wait at once.
static bool IsLateReplyToAnother(const FrameHeader &reply, uint8_t code) {
    return reply.Code != code && reply.Code != 0;
}

bool AwaitReply(uint8_t code) {
    LinkChannel *channel = AcquireCurrentChannel();
    if (!channel) return false;
    // The request's own reset may have cleared the closing reply of a reader
    // that had already ended; no reply can come then, so there is no wait.
    if (InterlockedCompareExchange(&channel->ReaderEnded, 0, 0) != 0) {
        ReleaseChannel(channel);
        return false;
    }
    bool matched = false;
    DWORD start = GetTickCount();
    DWORD waited = 0;
    while (waited < REPLY_TIMEOUT_MS &&
           WaitForSingleObject(channel->Event, REPLY_TIMEOUT_MS - waited) == WAIT_OBJECT_0) {
        AcquireSRWLockShared(&LinkLock);
        FrameHeader reply = channel->LastReply;
        ReleaseSRWLockShared(&LinkLock);
        if (!IsLateReplyToAnother(reply, code)) {
            matched = reply.Code == code && reply.Value == 0;
            break;
        }
        waited = GetTickCount() - start;
    }
    ReleaseChannel(channel);
    return matched;
}

void DropLink() {
    AcquireSRWLockExclusive(&LinkLock);
    LinkChannel *channel = PluginState.Link;
    SetCurrentChannel(nullptr);
    ReleaseSRWLockExclusive(&LinkLock);
    if (channel) EndChannel(channel);
}

void LinkFailure(const char *message) {
    DropLink();
    MessageBoxA(nullptr, message, PluginTitle, MB_ICONERROR | MB_OK);
}

void ReportSendFailure() {
    if (InterlockedExchange(&SendFailureShown, 1) == 0)
        MessageBoxA(nullptr, "Can't send data to server", PluginTitle, MB_ICONERROR | MB_OK);
}

int SendFailure() {
    // The counters keep the position where playback stopped, and the rest of
    // the stream is taken and dropped, so that the host moves on.
    DropLink();
    DropRestOfStream();
    ReportSendFailure();
    return 0;
}
