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
    EXPECT_EQ("", PlayOneBuffer(s, PcmFormatBytes(96000, 2, 32), 76800));
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
    for (const auto &format : malformed)
        EXPECT_EQ(1, OpenAndClose(s, format));
    // The service is still there and plays the highest rate it takes.
    EXPECT_EQ(0, OpenAndClose(s, PcmFormatBytes(384000, 2, 16)));
    closesocket(s);
    DeleteDaemonCopy(&daemon);
}

// A compressed format would be decoded by the wave mapper from the peer's
// bytes. Garbage made the MPEG decoder divide by zero inside the device's lock,
// and the next connection then never got an answer; mu-law at an impossible
// rate made the sound stack abort the service.
TEST(Formats, CompressedFormatsNeverReachADecoder) {
    DaemonCopy daemon = MakeDaemonCopy(nullptr);
    ASSERT_TRUE(StartDebugDaemon(&daemon));
    struct Compressed {
        uint16_t Tag, Channels;
        uint32_t Rate, BytesPerSecond;
        uint16_t BlockAlign, Bits;
    };
    const Compressed formats[] = {
        {0x50, 2, 8000, 1, 256, 4},              // MPEG, as a fuzzed record had it
        {0x55, 2, 44100, 16000, 1, 0},           // MPEG layer 3
        {7, 1, 0xFFFFFFFF, 0xFFFFFFFE, 2, 8},     // mu-law
        {6, 1, 8000, 8000, 1, 8},                // a-law, well formed
        {2, 2, 22050, 22311, 1024, 4},           // Microsoft ADPCM
    };
    for (const Compressed &f : formats) {
        std::vector<unsigned char> record(PCM_FORMAT_SIZE);
        memcpy(&record[0], &f.Tag, 2);
        memcpy(&record[2], &f.Channels, 2);
        memcpy(&record[4], &f.Rate, 4);
        memcpy(&record[8], &f.BytesPerSecond, 4);
        memcpy(&record[12], &f.BlockAlign, 2);
        memcpy(&record[14], &f.Bits, 2);
        SOCKET s = ConnectLoopback(daemon.Port);
        ASSERT_TRUE(SendFrame(s, CMD_OPEN, record));
        FrameHeader reply;
        ASSERT_TRUE(ReceiveFrame(s, &reply)) << "tag " << f.Tag;
        EXPECT_EQ(CMD_OPEN, reply.Code);
        EXPECT_EQ(1, reply.Value) << "tag " << f.Tag;
        // What a decoder would have been fed.
        for (int i = 0; i < 6; i++) {
            std::vector<unsigned char> garbage(1 + 997 * i);
            for (size_t k = 0; k < garbage.size(); k++)
                garbage[k] = static_cast<unsigned char>(k * 131 + i * 7 + 3);
            ASSERT_TRUE(SendFrame(s, CMD_WRITE, garbage));
        }
        ASSERT_TRUE(SendFrame(s, CMD_FLUSH, nullptr, 0));
        EXPECT_EQ(0, AwaitReplyCollectingPlayed(s, CMD_FLUSH, nullptr)) << "tag " << f.Tag;
        closesocket(s);
    }
    // The device is free and plays for the next client.
    SOCKET s = ConnectLoopback(daemon.Port);
    EXPECT_EQ("", PlayOneBuffer(s, PcmFormatBytes(44100, 2, 16), 17640));
    SendFrame(s, CMD_CLOSE, nullptr, 0);
    EXPECT_EQ(0, AwaitReplyCollectingPlayed(s, CMD_CLOSE, nullptr));
    closesocket(s);
    DeleteDaemonCopy(&daemon);
}

} // namespace
