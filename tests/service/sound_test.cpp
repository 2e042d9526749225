// What really reached the sound card: the null sink's monitor recorded while a
// client streams through the real Tonvaled.exe.
#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

class Sound : public ::testing::Test {
  protected:
    void SetUp() override {
        Daemon = MakeDaemonCopy(nullptr);
        ASSERT_TRUE(StartDebugDaemon(&Daemon));
        Client = ConnectLoopback(Daemon.Port);
        ASSERT_NE(INVALID_SOCKET, Client);
        Recording = Daemon.Folder + L"\\recording.raw";
    }
    void TearDown() override {
        closesocket(Client);
        DeleteDaemonCopy(&Daemon);
    }
    // Streams the signal in 100 ms blocks and returns once every buffer has
    // been reported played.
    int64_t Stream(const std::vector<int16_t> &signal, uint32_t *volume) {
        EXPECT_TRUE(SendFrame(Client, CMD_OPEN, PcmFormatBytes(44100, 2, 16)));
        FrameHeader reply;
        EXPECT_TRUE(ReceiveFrame(Client, &reply));
        EXPECT_EQ(0, reply.Value);
        if (volume) {
            EXPECT_TRUE(SendFrame(Client, CMD_VOLUME, VolumeBytes(*volume)));
        }
        const unsigned char *bytes = reinterpret_cast<const unsigned char *>(signal.data());
        const int32_t total = static_cast<int32_t>(signal.size() * 2), block = 17640;
        for (int32_t at = 0; at < total; at += block)
            EXPECT_TRUE(SendFrame(Client, CMD_WRITE, bytes + at, std::min(block, total - at)));
        int64_t played = 0;
        while (played < total) {
            if (!ReceiveFrame(Client, &reply, 10000))
                break;
            if (reply.Code == CMD_PLAYED)
                played += reply.Value;
        }
        // Wine reports a buffer done a few frames before the sink has taken
        // its last samples; closing at once would cut them off the recording.
        Sleep(300);
        EXPECT_TRUE(SendFrame(Client, CMD_CLOSE, nullptr, 0));
        EXPECT_EQ(0, AwaitReplyCollectingPlayed(Client, CMD_CLOSE, &played));
        return played;
    }

    DaemonCopy Daemon;
    SOCKET Client = INVALID_SOCKET;
    std::wstring Recording;
};

TEST_F(Sound, FullVolumeStereoReachesTheSinkBitForBit) {
    const size_t frames = 44100 * 2;
    std::vector<int16_t> signal = NoiseSignal(frames, 12345);
    ASSERT_TRUE(StartRecorder(Recording, 4));
    uint32_t full = 0xFFFFFFFF;
    DWORD start = GetTickCount();
    EXPECT_EQ(static_cast<int64_t>(frames * 4), Stream(signal, &full));
    // Two seconds of audio take about two seconds to be reported played.
    EXPECT_GE(GetTickCount() - start, 1700u);
    ASSERT_TRUE(WaitForRecorder(Recording, 10000));

    std::vector<int16_t> recorded = TrimLeadingSilence(ReadSamples(Recording));
    long offset = FindAlignment(signal, recorded);
    ASSERT_GE(offset, 0) << "recording does not contain the signal";
    // Only the first few milliseconds may be missing from the monitor.
    EXPECT_LT(offset, 2 * 4410);
    // A busy machine makes the sink play moments of silence while the stream
    // runs late: with six busy loops beside it, 8 runs had 3,500 to 59,000
    // silent frames inserted, and all the rest matched, none lost.
    // Every sample played must still be the one sent, in order.
    PlayedComparison played = ComparePlayed(signal, recorded, offset);
    EXPECT_GE(played.Compared, signal.size() * 9 / 10);
    EXPECT_EQ(0u, played.Mismatches) << "first at sample " << played.FirstMismatch << " of "
                                     << played.Compared << ", offset " << offset;
    if (played.GapFrames)
        printf("underruns: %u silent frames inserted\n", unsigned(played.GapFrames));
}

TEST_F(Sound, WithoutVolumeTheDevicePlaysSilence) {
    std::vector<int16_t> signal = NoiseSignal(44100, 777);
    ASSERT_TRUE(StartRecorder(Recording, 3));
    EXPECT_EQ(static_cast<int64_t>(signal.size() * 2), Stream(signal, nullptr));
    ASSERT_TRUE(WaitForRecorder(Recording, 10000));
    std::vector<int16_t> recorded = ReadSamples(Recording);
    ASSERT_GT(recorded.size(), 44100u * 2);
    size_t loud = 0;
    for (int16_t sample : recorded)
        loud += sample != 0;
    EXPECT_EQ(0u, loud);
}

TEST_F(Sound, LeftOnlyVolumeSilencesTheRightChannel) {
    std::vector<int16_t> signal = NoiseSignal(44100, 4242);
    ASSERT_TRUE(StartRecorder(Recording, 3));
    uint32_t leftOnly = 0x0000FFFF;
    Stream(signal, &leftOnly);
    ASSERT_TRUE(WaitForRecorder(Recording, 10000));
    std::vector<int16_t> recorded = ReadSamples(Recording);
    size_t leftLoud = 0, rightLoud = 0;
    for (size_t i = 0; i + 1 < recorded.size(); i += 2) {
        leftLoud += recorded[i] != 0;
        rightLoud += recorded[i + 1] != 0;
    }
    EXPECT_GT(leftLoud, 30000u);
    EXPECT_EQ(0u, rightLoud);
}

} // namespace
