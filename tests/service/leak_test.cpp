// No leak in the running Tonvaled.exe: after thousands of writes, flushes,
// opens and closes and hundreds of connections, its handle count and private
// bytes are back near where they started.
#include <gtest/gtest.h>

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
    // One step of Wine's handle table.
    EXPECT_LE(after.Handles, before.Handles + 32);
    EXPECT_LE(after.PrivateBytes, before.PrivateBytes + 1024 * 1024);
    DeleteDaemonCopy(&daemon);
}

} // namespace
