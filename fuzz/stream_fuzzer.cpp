// A seeded protocol fuzzer for the real Tonvaled.exe: random and mutated
// frame sequences, cut payloads, split headers, dropped connections and
// racing clients. After every batch it checks that the service is alive,
// that a well-formed session still works and adds up, and that its handles
// and memory stay bounded. Exits non-zero at the first failed check.
//
//   tvfuzz [--seed N] [--frames N] [--batch N] [--seconds N] [--hold N] [--trace 1]
//          [--figures 1]
//
// --seconds ends the run at the first batch boundary after that many seconds;
// --hold leaves a failed service running that many seconds for a debugger;
// --figures prints the service's handles and memory after every batch.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "support/test_support.h"
#include "seeded_random.h"

namespace {

static bool Trace, PrintFigures;

// Bounded: 32 handles (a batch's last connections may still be closing), and
// a few MiB of heap that a 64 MiB payload or many release threads may leave
// in the allocator.
bool GrewBeyondBounds(const ProcessFigures &start, const ProcessFigures &now) {
    return now.Handles > start.Handles + 32 ||
           now.PrivateBytes > start.PrivateBytes + 16 * 1024 * 1024;
}

struct Figures {
    uint64_t Frames = 0, Connections = 0, Drops = 0, Splits = 0, Races = 0, Checks = 0;
};

// Reads whatever the service has sent so far, without waiting, so that its
// replies and CMD_PLAYED frames never back up into its send calls. (A reader
// thread would do, but under Wine closing a socket does not wake a receive
// blocked in another thread.)
void DrainPending(SOCKET s) {
    char sink[4096];
    for (;;) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval none = {0, 0};
        if (select(0, &set, nullptr, nullptr, &none) != 1 || recv(s, sink, sizeof sink, 0) <= 0)
            return;
    }
}

struct Connection {
    SOCKET Socket = INVALID_SOCKET;
};

// Thousands of connections a minute on loopback: a connect that picks a
// source port whose old connection the service closed first hits that
// connection's TIME-WAIT on the service's side and stalls in SYN-SENT. Source
// ports are therefore taken in turn from a range far larger than what a
// minute of fuzzing uses.
static uint16_t NextSourcePort() {
    static uint16_t next = 20000;
    uint16_t port = next;
    next = next >= 60000 ? 20000 : next + 1;
    return port;
}

// One connect from a fresh source port, given up after `waitMs`.
SOCKET TryConnect(uint16_t port, DWORD waitMs) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    local.sin_port = htons(NextSourcePort());
    sockaddr_in remote = local;
    remote.sin_port = htons(port);
    u_long nonBlocking = 1, blocking = 0;
    if (bind(s, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        ioctlsocket(s, FIONBIO, &nonBlocking) != 0 ||
        (connect(s, reinterpret_cast<sockaddr *>(&remote), sizeof remote) != 0 &&
         WSAGetLastError() != WSAEWOULDBLOCK)) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval limit = {static_cast<long>(waitMs / 1000), static_cast<long>(waitMs % 1000) * 1000};
    if (select(0, nullptr, &writable, &failed, &limit) == 1 && FD_ISSET(s, &writable) &&
        ioctlsocket(s, FIONBIO, &blocking) == 0)
        return s;
    closesocket(s);
    return INVALID_SOCKET;
}

// Connects within `limitMs`, or gives INVALID_SOCKET. The service serves one
// client and queues one more, and a SYN that finds the queue full is dropped
// and sent again only a second later. The fuzzer makes connections faster
// than the service ends them (each end closes a device, about 100 ms under
// Wine), so a connect that has not completed at once is abandoned and tried
// anew from another port every 50 ms. While one of our connections holds the
// slot and another waits in the queue (even one we have closed: the service
// has not read it yet), no connect can complete until the one served ends,
// which is why there is a limit.
SOCKET ConnectWithin(uint16_t port, DWORD limitMs) {
    const DWORD AttemptMs = 50;
    DWORD start = GetTickCount();
    for (;;) {
        DWORD spent = GetTickCount() - start;
        if (spent >= limitMs)
            return INVALID_SOCKET;
        SOCKET s = TryConnect(port, std::min(AttemptMs, limitMs - spent));
        if (s != INVALID_SOCKET)
            return s;
    }
}

SOCKET ConnectFromFreshPort(uint16_t port) { return ConnectWithin(port, 10000); }

// A racing client's connect may find the queue full; it then stays absent
// until the batch ends.
const DWORD RacingConnectMs = 1500;

Connection Connect(uint16_t port, DWORD limitMs) {
    DWORD start = GetTickCount();
    Connection c;
    c.Socket = ConnectWithin(port, limitMs);
    if (Trace)
        fprintf(stderr, "connect%s (%lu ms)\n", c.Socket == INVALID_SOCKET ? " failed" : "",
                GetTickCount() - start);
    return c;
}

// Ends a connection, with a reset instead of a close when asked.
void Drop(Connection *c, bool reset) {
    if (Trace)
        fprintf(stderr, "drop%s\n", reset ? " (reset)" : "");
    if (c->Socket != INVALID_SOCKET) {
        if (reset) {
            linger abort = {1, 0};
            setsockopt(c->Socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<char *>(&abort),
                       sizeof abort);
        }
        closesocket(c->Socket);
    }
    *c = Connection();
}

int32_t InterestingLength(Random &random) {
    static const int32_t lengths[] = {0,  1,  3,  4,  5,  15, 16, 17, 18, 4096,
                                      -1, -16, INT32_MIN, 16 * 1024 * 1024, 64 * 1024 * 1024 - 1,
                                      64 * 1024 * 1024, 64 * 1024 * 1024 + 1, INT32_MAX};
    return lengths[random.Below(sizeof lengths / sizeof lengths[0])];
}

std::vector<unsigned char> RandomBytes(Random &random, size_t count) {
    std::vector<unsigned char> bytes(count);
    for (auto &b : bytes)
        b = static_cast<unsigned char>(random.Next());
    return bytes;
}

std::vector<unsigned char> FormatPayload(Random &random) {
    static const uint32_t rates[] = {8000, 44100, 48000, 192000, 0, 1, 0xFFFFFFFF};
    static const uint16_t channels[] = {1, 2, 6, 8, 0, 255};
    static const uint16_t bits[] = {8, 16, 24, 32, 0, 12, 64};
    std::vector<unsigned char> format = PcmFormatBytes(rates[random.Below(7)],
                                                       channels[random.Below(6)], bits[random.Below(7)]);
    if (random.Chance(20))
        format[random.Below(16)] = static_cast<unsigned char>(random.Next());
    if (random.Chance(10)) {
        // Tags of formats that a decoder of the wave mapper would take:
        // ADPCM, IEEE float, a-law, mu-law, IMA ADPCM, GSM, MPEG, MPEG layer 3.
        static const uint16_t tags[] = {2, 3, 6, 7, 0x11, 0x31, 0x50, 0x55};
        uint16_t tag = tags[random.Below(sizeof tags / sizeof tags[0])];
        memcpy(&format[0], &tag, sizeof tag);
    }
    return format;
}

// Sends one frame, honest or not. Returns false when the connection should be
// dropped (the frame was left unfinished on purpose, or a send failed).
bool SendOneFrame(Random &random, SOCKET s, Figures *figures) {
    figures->Frames++;
    uint8_t code;
    std::vector<unsigned char> payload;
    int32_t declared;
    switch (random.Below(10)) {
    case 0:
        code = CMD_OPEN;
        payload = FormatPayload(random);
        declared = 16;
        break;
    case 1:
    case 2:
        code = CMD_WRITE;
        payload = RandomBytes(random, random.Below(9000));
        declared = static_cast<int32_t>(payload.size());
        break;
    case 3:
        code = random.Chance(50) ? CMD_FLUSH : CMD_CLOSE;
        declared = 0;
        break;
    case 4:
        code = static_cast<uint8_t>(CMD_PAUSE + random.Below(3));
        payload = RandomBytes(random, code == CMD_VOLUME ? 4 : 0);
        declared = static_cast<int32_t>(payload.size());
        break;
    case 5:
    case 6:
        code = static_cast<uint8_t>(random.Next()); // every code from -128 to 127
        payload = RandomBytes(random, random.Below(64));
        declared = static_cast<int32_t>(payload.size());
        break;
    default:
        code = static_cast<uint8_t>(random.Chance(50) ? random.Below(10) : random.Next());
        declared = InterestingLength(random);
        payload = RandomBytes(random, declared > 0 ? std::min<int32_t>(declared, 64) : 0);
        break;
    }

    unsigned char header[FRAME_HEADER_SIZE];
    EncodeFrameHeader(code, declared, header);
    if (Trace) {
        fprintf(stderr, "frame %d %d (%u bytes)", static_cast<int8_t>(code), declared,
                static_cast<unsigned>(payload.size()));
        if (code == CMD_OPEN && payload.size() == PCM_FORMAT_SIZE) {
            PcmFormat format;
            memcpy(&format, payload.data(), sizeof format);
            fprintf(stderr, " tag %u, %u channels, %u Hz, %u B/s, align %u, %u bits",
                    format.FormatTag, format.Channels, format.SamplesPerSec,
                    format.AvgBytesPerSec, format.BlockAlign, format.BitsPerSample);
        }
        fprintf(stderr, "\n");
    }
    if (random.Chance(3)) {
        // The header in two pieces, split at any byte.
        int at = 1 + random.Below(FRAME_HEADER_SIZE - 1);
        figures->Splits++;
        if (!SendAll(s, header, at))
            return false;
        Sleep(random.Below(3));
        if (!SendAll(s, header + at, FRAME_HEADER_SIZE - at))
            return false;
    } else if (!SendAll(s, header, FRAME_HEADER_SIZE)) {
        return false;
    }
    // A payload shorter than declared can only end with the connection.
    size_t owed = declared > 0 ? static_cast<size_t>(declared) : 0;
    if (payload.size() < owed) {
        SendAll(s, payload.data(), static_cast<int>(payload.size()));
        return false;
    }
    if (!payload.empty() && declared > 0 && !SendAll(s, payload.data(), declared))
        return false;
    return true;
}

// A well-formed session: open, volume, three writes, flush, close. The
// CMD_PLAYED values before the flush reply must add up to what was written.
bool SessionWorks(uint16_t port, char *why, size_t whySize) {
    SOCKET s = ConnectFromFreshPort(port);
    if (s == INVALID_SOCKET) {
        snprintf(why, whySize, "cannot connect");
        return false;
    }
    bool ok = false;
    FrameHeader reply;
    int64_t played = 0;
    std::vector<unsigned char> block(17640, 0);
    if (!SendFrame(s, CMD_OPEN, PcmFormatBytes(44100, 2, 16)) || !ReceiveFrame(s, &reply, 10000))
        snprintf(why, whySize, "no reply to open");
    else if (reply.Code != CMD_OPEN || reply.Value != 0)
        snprintf(why, whySize, "open answered {%d, %d}", reply.Code, reply.Value);
    else if (!SendFrame(s, CMD_VOLUME, VolumeBytes(0xFFFFFFFF)) ||
             !SendFrame(s, CMD_WRITE, block) || !SendFrame(s, CMD_WRITE, block) ||
             !SendFrame(s, CMD_WRITE, block) || !SendFrame(s, CMD_FLUSH, nullptr, 0))
        snprintf(why, whySize, "send failed");
    else if (AwaitReplyCollectingPlayed(s, CMD_FLUSH, &played) != 0)
        snprintf(why, whySize, "no flush reply");
    else if (played != 3 * 17640)
        snprintf(why, whySize, "played %lld of %d bytes", static_cast<long long>(played), 3 * 17640);
    else if (!SendFrame(s, CMD_CLOSE, nullptr, 0) ||
             AwaitReplyCollectingPlayed(s, CMD_CLOSE, nullptr) != 0)
        snprintf(why, whySize, "no close reply");
    else
        ok = true;
    closesocket(s);
    return ok;
}

// The connection a frame goes to: any of ours that is still open.
Connection *PickOpen(Random &random, std::vector<Connection> &clients) {
    std::vector<Connection *> open;
    for (Connection &c : clients)
        if (c.Socket != INVALID_SOCKET)
            open.push_back(&c);
    return open.empty() ? nullptr : open[random.Below(static_cast<uint32_t>(open.size()))];
}

void RunBatch(Random &random, uint16_t port, uint64_t frames, Figures *figures) {
    std::vector<Connection> clients;
    clients.push_back(Connect(port, 10000));
    figures->Connections++;
    if (random.Chance(10)) {
        // Racing clients: only the first is served; the rest wait their turn.
        int extra = 1 + random.Below(2);
        for (int i = 0; i < extra; i++)
            clients.push_back(Connect(port, RacingConnectMs));
        figures->Races++;
        figures->Connections += extra;
    }
    for (uint64_t i = 0; i < frames; i++) {
        Connection *c = PickOpen(random, clients);
        if (!c) {
            // Every connection of ours is closed, so nothing of ours holds
            // the slot any more.
            clients[0] = Connect(port, 10000);
            figures->Connections++;
            if (clients[0].Socket == INVALID_SOCKET)
                break; // the check after the batch says why
            continue;
        }
        bool keep = SendOneFrame(random, c->Socket, figures);
        if (keep)
            DrainPending(c->Socket);
        if (!keep || random.Chance(1)) {
            Drop(c, random.Chance(50));
            figures->Drops++;
            *c = Connect(port, clients.size() > 1 ? RacingConnectMs : 10000);
            figures->Connections++;
            if (clients.size() == 1 && c->Socket == INVALID_SOCKET)
                break;
        }
    }
    for (Connection &c : clients)
        Drop(&c, false);
}

} // namespace

int main(int argc, char **argv) {
    uint32_t seed = 1;
    uint64_t total = 20000, batch = 2000;
    DWORD budgetSeconds = 0, holdSeconds = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--seed"))
            seed = strtoul(argv[i + 1], nullptr, 10);
        else if (!strcmp(argv[i], "--frames"))
            total = strtoull(argv[i + 1], nullptr, 10);
        else if (!strcmp(argv[i], "--trace"))
            Trace = argv[i + 1][0] == '1';
        else if (!strcmp(argv[i], "--figures"))
            PrintFigures = argv[i + 1][0] == '1';
        else if (!strcmp(argv[i], "--hold"))
            holdSeconds = strtoul(argv[i + 1], nullptr, 10);
        else if (!strcmp(argv[i], "--seconds"))
            budgetSeconds = strtoul(argv[i + 1], nullptr, 10);
        else if (!strcmp(argv[i], "--batch"))
            batch = strtoull(argv[i + 1], nullptr, 10);
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    Random random = {seed ? seed : 1};
    DaemonCopy daemon = MakeDaemonCopy(nullptr);
    if (!StartDebugDaemon(&daemon)) {
        printf("FAIL: Tonvaled did not start\n");
        return 1;
    }
    if (Trace)
        fprintf(stderr, "daemon pid %lu\n", daemon.Process.dwProcessId);
    char why[128] = "";
    int failed = 0;
    if (!SessionWorks(daemon.Port, why, sizeof why)) {
        printf("FAIL: session before fuzzing: %s\n", why);
        failed = 1;
    }
    ProcessFigures start = FiguresOf(daemon);
    ProcessFigures peak = start;
    Figures figures;
    DWORD began = GetTickCount();
    for (uint64_t done = 0; !failed && done < total; done += batch) {
        if (budgetSeconds && GetTickCount() - began >= budgetSeconds * 1000)
            break;
        RunBatch(random, daemon.Port, std::min(batch, total - done), &figures);
        figures.Checks++;
        printf("%llu frames\r", static_cast<unsigned long long>(figures.Frames));
        if (WaitForSingleObject(daemon.Process.hProcess, 0) != WAIT_TIMEOUT) {
            DWORD code = 0;
            GetExitCodeProcess(daemon.Process.hProcess, &code);
            printf("FAIL: Tonvaled died (exit code 0x%lx) after %llu frames\n", code,
                   static_cast<unsigned long long>(figures.Frames));
            failed = 1;
        } else if (!SessionWorks(daemon.Port, why, sizeof why)) {
            printf("FAIL: session after %llu frames: %s\n",
                   static_cast<unsigned long long>(figures.Frames), why);
            failed = 1;
        }
        ProcessFigures now = FiguresOf(daemon);
        peak.Handles = std::max(peak.Handles, now.Handles);
        peak.PrivateBytes = std::max(peak.PrivateBytes, now.PrivateBytes);
        if (PrintFigures)
            printf("%llu frames in %lu s: %lu handles, %lu KiB private\n",
                   static_cast<unsigned long long>(figures.Frames),
                   (GetTickCount() - began) / 1000, now.Handles,
                   static_cast<unsigned long>(now.PrivateBytes / 1024));
        if (!failed && GrewBeyondBounds(start, now)) {
            printf("FAIL: handles or memory grew after %llu frames\n",
                   static_cast<unsigned long long>(figures.Frames));
            failed = 1;
        }
    }
    ProcessFigures end = FiguresOf(daemon);
    printf("seed %u: %llu frames, %llu connections (%llu dropped, %llu races), %llu split "
           "headers, %llu checks in %lu s\n",
           seed, static_cast<unsigned long long>(figures.Frames),
           static_cast<unsigned long long>(figures.Connections),
           static_cast<unsigned long long>(figures.Drops),
           static_cast<unsigned long long>(figures.Races),
           static_cast<unsigned long long>(figures.Splits),
           static_cast<unsigned long long>(figures.Checks), (GetTickCount() - began) / 1000);
    printf("handles %lu at start, %lu at end, %lu at most; private bytes %lu KiB at start, %lu "
           "KiB at end, %lu KiB at most\n",
           start.Handles, end.Handles, peak.Handles,
           static_cast<unsigned long>(start.PrivateBytes / 1024),
           static_cast<unsigned long>(end.PrivateBytes / 1024),
           static_cast<unsigned long>(peak.PrivateBytes / 1024));
    if (failed) {
        // Keep the daemon's folder: its console output tells what it did last.
        if (holdSeconds) {
            printf("holding Tonvaled (Windows pid %lu) for %lu s\n", daemon.Process.dwProcessId,
                   holdSeconds);
            Sleep(holdSeconds * 1000);
        }
        KillDaemon(&daemon);
        printf("daemon output kept in %s\n", Narrow(daemon.OutPath).c_str());
    } else {
        DeleteDaemonCopy(&daemon);
    }
    printf(failed ? "FAIL\n" : "PASS\n");
    return failed;
}
