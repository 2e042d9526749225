// Every format a player can produce opens through the real service: plain PCM
// that the wave mapper refuses is retried as the extensible record, and
// malformed records are still refused.
#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

int32_t OpenAndClose(SOCKET s, const std::vector<unsigned char> &format) {
    if (!SendFrame(s, CMD_OPEN, format))
        return -1;
    FrameHeader reply;
    if (!ReceiveFrame(s, &reply) || reply.Code != CMD_OPEN)
        return -1;
    SendFrame(s, CMD_CLOSE, nullptr, 0);
    if (AwaitReplyCollectingPlayed(s, CMD_CLOSE, nullptr) != 0)
        return -1;
    return reply.Value;
}

TEST(Formats, EveryRateChannelCountAndWidthOpens) {
    DaemonCopy daemon = MakeDaemonCopy(nullptr);
    ASSERT_TRUE(StartDebugDaemon(&daemon));
    SOCKET s = ConnectLoopback(daemon.Port);
    const uint32_t rates[] = {8000, 11025, 22050, 44100, 48000, 96000, 192000};
    const uint16_t channels[] = {1, 2, 6, 8};
    const uint16_t widths[] = {8, 16, 24, 32};
    for (uint32_t rate : rates)
        for (uint16_t count : channels)
            for (uint16_t bits : widths)
                EXPECT_EQ(0, OpenAndClose(s, PcmFormatBytes(rate, count, bits)))
                    << rate << " Hz, " << count << " channels, " << bits << " bits";

    // A device opened through the extensible record plays and reports.
    ASSERT_TRUE(SendFrame(s, CMD_OPEN, PcmFormatBytes(96000, 2, 32)));
    FrameHeader frame;
    ASSERT_TRUE(ReceiveFrame(s, &frame));
    ASSERT_EQ(0, frame.Value);
    ASSERT_TRUE(SendFrame(s, CMD_WRITE, std::vector<unsigned char>(76800, 0)));
    ASSERT_TRUE(ReceiveFrame(s, &frame));
    EXPECT_EQ(CMD_PLAYED, frame.Code);
    EXPECT_EQ(76800, frame.Value);
    SendFrame(s, CMD_CLOSE, nullptr, 0);
    ASSERT_EQ(0, AwaitReplyCollectingPlayed(s, CMD_CLOSE, nullptr));

    std::vector<std::vector<unsigned char>> malformed;
    auto withField = [](std::vector<unsigned char> format, size_t offset, uint32_t value,
                        size_t size) {
        memcpy(&format[offset], &value, size);
        return format;
    };
    const std::vector<unsigned char> wide = PcmFormatBytes(48000, 8, 32);
    malformed.push_back(withField(wide, 12, 31, 2));           // block align
    malformed.push_back(withField(wide, 8, 48000 * 32 + 1, 4)); // byte rate
    malformed.push_back(withField(wide, 2, 0, 2));              // no channels
    malformed.push_back(withField(wide, 4, 0, 4));              // no rate
    malformed.push_back(withField(PcmFormatBytes(44100, 2, 16), 12, 2, 2));
    // Self-consistent, but beyond what the sound stack takes: these used to
    // abort the whole service inside the audio driver.
    malformed.push_back(PcmFormatBytes(0xFFFFFFFF, 2, 16));
    malformed.push_back(PcmFormatBytes(384001, 2, 16));
    malformed.push_back(PcmFormatBytes(44100, 255, 8));
    malformed.push_back(PcmFormatBytes(44100, 9, 16));
    malformed.push_back(PcmFormatBytes(44100, 2, 12));
    malformed.push_back(PcmFormatBytes(44100, 2, 64));
    // Mu-law that the mapper would decode to PCM at an impossible rate.
    const uint16_t MuLawTag = 7;
    std::vector<unsigned char> mulaw = withField(PcmFormatBytes(8000, 1, 8), 0, MuLawTag, 2);
    malformed.push_back(withField(mulaw, 4, 0xFFFFFFFF, 4));
    malformed.push_back(withField(withField(mulaw, 2, 9, 2), 12, 9, 2));
    for (const auto &format : malformed)
        EXPECT_EQ(1, OpenAndClose(s, format));
    // The service is still there and plays the highest rate it takes, and
    // mu-law within the bounds.
    EXPECT_EQ(0, OpenAndClose(s, PcmFormatBytes(384000, 2, 16)));
    EXPECT_EQ(0, OpenAndClose(s, mulaw));
    closesocket(s);
    DeleteDaemonCopy(&daemon);
}

} // namespace
