// The fault guard over one connection: a real access violation and a failed
// allocation end only that connection, free the lock, and the server goes on.
#include <gtest/gtest.h>

#include "server_fixture.h"

namespace {

const uint8_t FaultCode = 0x7E;

void FaultOnMarkedFrame(const FrameHeader &header, const unsigned char *) {
    if (header.Code == FaultCode) {
        volatile int *nowhere = nullptr;
        *nowhere = 1;
    }
}

class FaultGuardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        PayloadReceivedHook = FaultOnMarkedFrame;
        ASSERT_TRUE(Server.Start(ServerKind::InProcess));
    }
    void TearDown() override {
        Server.Finish();
        PayloadReceivedHook = nullptr;
    }
    ServerUnderTest Server;
};

void ExpectServedNormally(uint16_t port) {
    SOCKET s = ConnectLoopback(port);
    ASSERT_TRUE(SendFrame(s, CMD_OPEN, PcmFormatBytes(44100, 2, 16)));
    FrameHeader frame;
    ASSERT_TRUE(ReceiveFrame(s, &frame));
    EXPECT_EQ(0, frame.Value);
    std::vector<unsigned char> pcm(4410, 0);
    ASSERT_TRUE(SendFrame(s, CMD_WRITE, pcm));
    // CMD_PLAYED needs the lock that the faulting frame held.
    ASSERT_TRUE(ReceiveFrame(s, &frame));
    EXPECT_EQ(CMD_PLAYED, frame.Code);
    EXPECT_EQ(4410, frame.Value);
    closesocket(s);
}

TEST_F(FaultGuardTest, AccessViolationWhileHoldingTheLockEndsOnlyThatConnection) {
    SOCKET s = ConnectLoopback(Server.Port);
    ASSERT_TRUE(SendFrame(s, CMD_OPEN, PcmFormatBytes(44100, 2, 16)));
    FrameHeader frame;
    ASSERT_TRUE(ReceiveFrame(s, &frame));
    ASSERT_TRUE(SendFrame(s, FaultCode, "payload", 7));
    EXPECT_TRUE(PeerClosed(s, 5000));
    closesocket(s);
    EXPECT_NE(std::string::npos, Server.LogText().find("Access violation error\n"));
    // The lock is free for a thread that is not the run thread.
    ASSERT_TRUE(TryEnterCriticalSection(&Server.App->DeviceLock));
    LeaveCriticalSection(&Server.App->DeviceLock);
    ExpectServedNormally(Server.Port);
}

TEST_F(FaultGuardTest, RepeatedFaultsAreEachCaught) {
    for (int i = 0; i < 3; i++) {
        SOCKET s = ConnectLoopback(Server.Port);
        ASSERT_TRUE(SendFrame(s, FaultCode, nullptr, 0));
        EXPECT_TRUE(PeerClosed(s, 5000));
        closesocket(s);
    }
    std::string log = Server.LogText();
    size_t count = 0;
    for (size_t at = log.find("Access violation error"); at != std::string::npos;
         at = log.find("Access violation error", at + 1))
        count++;
    EXPECT_EQ(3u, count);
    ExpectServedNormally(Server.Port);
}

TEST_F(FaultGuardTest, StopWhileAClientIsIdleEndsRun) {
    SOCKET s = ConnectLoopback(Server.Port);
    ASSERT_TRUE(SendFrame(s, CMD_OPEN, PcmFormatBytes(44100, 2, 16)));
    FrameHeader frame;
    ASSERT_TRUE(ReceiveFrame(s, &frame));
    Server.App->Stop();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(Server.RunThread, 5000));
    EXPECT_TRUE(PeerClosed(s, 2000));
    closesocket(s);
    std::string log = Server.LogText();
    const std::string last = "Tonvale stopped\n";
    ASSERT_GE(log.size(), last.size());
    EXPECT_EQ(last, log.substr(log.size() - last.size()));
    // The device of that connection was closed as Run returned.
    EXPECT_EQ(nullptr, Server.App->Device.WaveHandle);
}

} // namespace
