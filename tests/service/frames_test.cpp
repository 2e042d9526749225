// Frame encoding shared by both sides: header bytes and the PcmFormat record.
#include <gtest/gtest.h>

#include "protocol/frames.h"

TEST(Frames, HeaderIsCodeThenLittleEndianValue) {
    unsigned char raw[FRAME_HEADER_SIZE];
    EncodeFrameHeader(CMD_WRITE, 0x01020304, raw);
    EXPECT_EQ(0, memcmp("\x02\x04\x03\x02\x01", raw, 5));
    EncodeFrameHeader(CMD_PLAYED, -2, raw);
    EXPECT_EQ(0, memcmp("\x03\xFE\xFF\xFF\xFF", raw, 5));
    FrameHeader back = DecodeFrameHeader(raw);
    EXPECT_EQ(CMD_PLAYED, back.Code);
    EXPECT_EQ(-2, back.Value);
}

TEST(Frames, PcmFormatCarriesTheWaveRecordLayout) {
    PcmFormat stereo = MakePcmFormat(44100, 2, 16);
    EXPECT_EQ(0, memcmp("\x01\x00\x02\x00\x44\xAC\x00\x00\x10\xB1\x02\x00\x04\x00\x10\x00",
                        &stereo, 16));
    PcmFormat mono = MakePcmFormat(8000, 1, 8);
    EXPECT_EQ(1, mono.BlockAlign);
    EXPECT_EQ(8000u, mono.AvgBytesPerSec);
    PcmFormat wide = MakePcmFormat(192000, 8, 32);
    EXPECT_EQ(32, wide.BlockAlign);
    EXPECT_EQ(192000u * 32, wide.AvgBytesPerSec);
}
