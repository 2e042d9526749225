// The pure arithmetic of the plug-in: block align and buffer sizes, flush
// positions, the byte-to-time conversion for every width and beyond 2^31,
// the volume word, and the settings path rule.
#include <gtest/gtest.h>

#include <string.h>

#include "plugin/arithmetic.h"
#include "plugin/settings.h"

TEST(Arithmetic, BufferBytesTakeEachMillisecondUpToAWholeByte) {
    EXPECT_EQ(BlockAlignOf(2, 16), 4);
    EXPECT_EQ(BlockAlignOf(1, 8), 1);
    EXPECT_EQ(BlockAlignOf(6, 24), 18);
    EXPECT_EQ(BlockAlignOf(1, 12), 1);  // truncated, as the format carries it
    EXPECT_EQ(BufferBytesOf(176400, 2000), 177 * 2000);
    EXPECT_EQ(BufferBytesOf(192000, 2000), 192 * 2000);
    EXPECT_EQ(BufferBytesOf(22050, 2000), 23 * 2000);
    EXPECT_EQ(BufferBytesOf(8000, 2000), 8 * 2000);
    EXPECT_EQ(BufferBytesOf(11025, 2000), 12 * 2000);
    EXPECT_EQ(BufferBytesOf(192000, 500), 192 * 500);
    // 192 kHz, 8 channels of 32 bits for 20 s stays exact.
    EXPECT_EQ(BufferBytesOf(6144000, 20000), 6144LL * 20000);
}

TEST(Arithmetic, FlushPositionsRoundEachPartUp) {
    EXPECT_EQ(BytePositionOf(1, 176400), 177);
    EXPECT_EQ(BytePositionOf(5, 176400), 882);
    EXPECT_EQ(BytePositionOf(3000, 176400), 3 * 176400);
    EXPECT_EQ(BytePositionOf(0, 176400), 0);
    EXPECT_EQ(BytePositionOf(20, 22050), 441);
    EXPECT_EQ(BytePositionOf(1, 22050), 23);
    EXPECT_EQ(BytePositionOf(1500, 176400), 176400 + 88200);
    // Four hours of CD audio lies beyond 2^31 bytes.
    EXPECT_EQ(BytePositionOf(4 * 3600 * 1000, 176400), 2540160000LL);
}

TEST(Arithmetic, TimesFollowTheSampleWidth) {
    EXPECT_EQ(BytesToMs(600, 1, 8000, 8), 75);
    EXPECT_EQ(BytesToMs(176400, 2, 44100, 16), 1000);
    EXPECT_EQ(BytesToMs(177, 2, 44100, 16), 1);
    EXPECT_EQ(BytesToMs(176, 2, 44100, 16), 0);
    EXPECT_EQ(BytesToMs(441, 1, 22050, 8), 20);
    // One second of 24- and 32-bit audio is one second, not three or four.
    EXPECT_EQ(BytesToMs(288000, 2, 48000, 24), 1000);
    EXPECT_EQ(BytesToMs(384000, 2, 48000, 32), 1000);
    EXPECT_EQ(BytesToMs(6 * 44100 * 3 / 2, 6, 44100, 24), 500);
    // No stream yet: the raw count.
    EXPECT_EQ(BytesToMs(1234, 0, 0, 0), 1234);
}

TEST(Arithmetic, CountsBeyondTwoToThe31StayRight) {
    const LONG64 fourHours = 2540160000LL;
    EXPECT_EQ(BytesToMs(fourHours, 2, 44100, 16), 4 * 3600 * 1000);
    // A week of radio at 44.1 kHz stereo 16-bit.
    const LONG64 week = 7LL * 24 * 3600 * 176400;
    EXPECT_EQ(BytesToMs(week, 2, 44100, 16), 7 * 24 * 3600 * 1000);
    EXPECT_EQ(WritableBytes(fourHours + 1000, fourHours, 354000, 0), 353000);
    EXPECT_EQ(WritableBytes(week, week, 354000, 0), 354000);
    EXPECT_EQ(WritableBytes(0x80000010LL, 0x7FFFFFF0LL, 354000, 0), 354000 - 0x20);
}

TEST(Arithmetic, WritableBytesAtAndAroundTheLimit) {
    EXPECT_EQ(WritableBytes(0, 0, 354000, 0), 354000);
    EXPECT_EQ(WritableBytes(354000, 0, 354000, 0), 0);
    EXPECT_EQ(WritableBytes(353999, 0, 354000, 0), 1);
    EXPECT_EQ(WritableBytes(354001, 0, 354000, 0), 0);
    EXPECT_EQ(WritableBytes(10, 0, 354000, 1), 0);
    EXPECT_EQ(WritableBytes(10, 11, 354000, 0), 0);
    EXPECT_EQ(WritableBytes(0, 0, 0, 0), 0);
}

TEST(Arithmetic, VolumeWordTable) {
    struct Row {
        int Volume, Pan;
        uint32_t Word;
    } rows[] = {
        {255, 0, 0xFF00FF00}, {255, 128, 0xFF000000}, {255, -128, 0x0000FF00},
        {255, 64, 0xFF007F80}, {255, -64, 0x7F80FF00}, {128, -32, 0x60008000},
        {1, 1, 0x010000FE},   {0, 77, 0},             {0, -128, 0},
    };
    for (const Row &row : rows)
        EXPECT_EQ(VolumeWord(row.Volume, row.Pan), row.Word) << row.Volume << "," << row.Pan;
}

static std::string SettingsPathOf(const char *dll) {
    char path[MAX_PATH];
    strcpy(path, dll);
    MakeSettingsPath(path, sizeof path);
    return path;
}

TEST(Arithmetic, SettingsPathReplacesTheLastExtension) {
    EXPECT_EQ(SettingsPathOf("C:\\Player\\Plugins\\out_tonvale.dll"),
              "C:\\Player\\Plugins\\out_tonvale.ini");
    EXPECT_EQ(SettingsPathOf("C:\\Pl.ayer\\out_tonvale.dll"), "C:\\Pl.ayer\\out_tonvale.ini");
    EXPECT_EQ(SettingsPathOf("C:\\Pl.ayer\\out_tonvale"), "C:\\Pl.ini");
    EXPECT_EQ(SettingsPathOf("C:\\a\\b.module"), "C:\\a\\b.ini");
    EXPECT_EQ(SettingsPathOf("C:\\a\\noext"), "C:\\a\\noext.ini");

    // A path that fills the buffer is never written past its end.
    char full[12];
    memset(full, 'x', sizeof full);
    memcpy(full, "abcdefghij.", 11);
    full[11] = '\0';
    MakeSettingsPath(full, sizeof full);
    EXPECT_STREQ(full, "abcdefghij.");
}
