// No leak in the running Tonvaled.exe: after thousands of writes, flushes,
// opens and closes and hundreds of connections, its handle count and private
// bytes are back near where they started. The same work against CTonvale in
// this process counts the heap blocks left behind, which finds a leak of a
// few bytes per frame that the private bytes would hide.
#include <gtest/gtest.h>

#include "server_fixture.h"
#include "support/test_support.h"

namespace {

void OpenStream(SOCKET s) {
    ASSERT_TRUE(SendFrame(s, CMD_OPEN, PcmFormatBytes(44100, 2, 16)));
    FrameHeader reply;
    ASSERT_TRUE(ReceiveFrame(s, &reply));
    ASSERT_EQ(0, reply.Value);
}

// One connection's worth of work: streams opened, written, flushed, closed.
void Churn(uint16_t port, int streams, int writesPerFlush) {
    SOCKET s = ConnectLoopback(port);
    ASSERT_NE(INVALID_SOCKET, s);
    std::vector<unsigned char> block(2304, 0);
    for (int stream = 0; stream < streams; stream++) {
        OpenStream(s);
        for (int flush = 0; flush < 4; flush++) {
            for (int i = 0; i < writesPerFlush; i++)
                ASSERT_TRUE(SendFrame(s, CMD_WRITE, block));
            ASSERT_TRUE(SendFrame(s, CMD_FLUSH, nullptr, 0));
            ASSERT_EQ(0, AwaitReplyCollectingPlayed(s, CMD_FLUSH, nullptr));
        }
        ASSERT_TRUE(SendFrame(s, CMD_CLOSE, nullptr, 0));
        ASSERT_EQ(0, AwaitReplyCollectingPlayed(s, CMD_CLOSE, nullptr));
    }
    closesocket(s);
}

TEST(Leaks, HandlesAndMemoryReturnAfterLongUse) {
    DaemonCopy daemon = MakeDaemonCopy(nullptr);
    ASSERT_TRUE(StartDebugDaemon(&daemon));
    // Warm up: the first device open loads the audio drivers for good.
    Churn(daemon.Port, 2, 10);
    Sleep(300);
    ProcessFigures before = FiguresOf(daemon);

    for (int round = 0; round < 6; round++)
        Churn(daemon.Port, 5, 25); // 3000 writes, 120 flushes, 30 streams in all
    for (int i = 0; i < 200; i++) {
        SOCKET s = ConnectLoopback(daemon.Port);
        ASSERT_NE(INVALID_SOCKET, s);
        if (i % 2)
            SendFrame(s, CMD_WRITE, nullptr, 1000); // vanishes mid-payload
        closesocket(s);
    }
    Churn(daemon.Port, 1, 1);
    Sleep(500);
    ProcessFigures after = FiguresOf(daemon);
    printf("handles %lu -> %lu, private bytes %lu -> %lu\n", before.Handles, after.Handles,
           static_cast<unsigned long>(before.PrivateBytes),
           static_cast<unsigned long>(after.PrivateBytes));
    EXPECT_GT(before.Handles, 0u);
    EXPECT_GT(before.PrivateBytes, 0u);
    EXPECT_LE(after.Handles, before.Handles + 10);
    EXPECT_LE(after.PrivateBytes, before.PrivateBytes + 1024 * 1024);
    DeleteDaemonCopy(&daemon);
}

// Busy blocks in all of this process's heaps.
long BusyHeapBlocks() {
    HANDLE heaps[256];
    DWORD count = GetProcessHeaps(256, heaps);
    long busy = 0;
    for (DWORD i = 0; i < count && i < 256; i++) {
        if (!HeapLock(heaps[i]))
            continue;
        PROCESS_HEAP_ENTRY entry = {};
        while (HeapWalk(heaps[i], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
                busy++;
        HeapUnlock(heaps[i]);
    }
    return busy;
}

// Connections that end in every way the server meets: cut mid-payload,
// declaring more than it will buffer (a fault for the guard), sending
// unknown codes, and refused opens.
void Misbehave(uint16_t port, int connections) {
    for (int i = 0; i < connections; i++) {
        SOCKET s = ConnectLoopback(port);
        ASSERT_NE(INVALID_SOCKET, s);
        switch (i % 4) {
        case 0:
            SendFrame(s, CMD_WRITE, nullptr, 1000);
            break;
        case 1:
            SendFrame(s, CMD_WRITE, nullptr, 0x7FFFFFFF);
            EXPECT_TRUE(PeerClosed(s, 5000));
            break;
        case 2:
            SendFrame(s, 0x55, std::vector<unsigned char>(300, 1));
            SendFrame(s, CMD_VOLUME, VolumeBytes(0xFFFFFFFF));
            SendFrame(s, CMD_FLUSH, nullptr, 0);
            EXPECT_EQ(0, AwaitReplyCollectingPlayed(s, CMD_FLUSH, nullptr));
            break;
        case 3:
            SendFrame(s, CMD_OPEN, PcmFormatBytes(44100, 0, 16));
            EXPECT_EQ(1, AwaitReplyCollectingPlayed(s, CMD_OPEN, nullptr));
            break;
        }
        closesocket(s);
    }
}

// Wine's wave-out keeps one 8-byte heap block for good at every open and
// close of a device (a plain loop of waveOutOpen and waveOutClose does the
// same), so each stream may leave one; a leak of ours per buffer, frame or
// connection leaves thousands.
TEST(Leaks, NoHeapBlockIsLeftPerFrameBufferOrConnection) {
    ServerUnderTest server;
    ASSERT_TRUE(server.Start(ServerKind::InProcess));
    Churn(server.Port, 2, 10);
    Misbehave(server.Port, 8);
    Sleep(300);
    long before = BusyHeapBlocks();

    const int rounds = 4, streams = 5;
    for (int round = 0; round < rounds; round++)
        Churn(server.Port, streams, 25); // 2000 writes, 80 flushes, 20 streams in all
    Misbehave(server.Port, 200);
    Sleep(500);
    long after = BusyHeapBlocks();
    printf("busy heap blocks %ld -> %ld\n", before, after);
    EXPECT_LE(after - before, rounds * streams + 64);
    server.Finish();
}

} // namespace
