// Frames of the stream protocol between the output plug-in and the playback
// service: the five-byte header, the command codes and the CMD_OPEN format
// record. Both deliverables build and parse frames only through this file.
#pragma once

#include <stdint.h>
#include <string.h>

enum : uint8_t {
    CMD_OPEN = 1,
    CMD_WRITE = 2,
    CMD_PLAYED = 3,
    CMD_FLUSH = 4,
    CMD_PAUSE = 5,
    CMD_RESUME = 6,
    CMD_VOLUME = 7,
    CMD_CLOSE = 8,
};

#pragma pack(push, 1)
// In requests `Value` is the payload length; in service frames it is a value
// and no payload follows.
struct FrameHeader {
    uint8_t Code;
    int32_t Value;
};

// The Windows PCMWAVEFORMAT layout, without an extra-size field.
struct PcmFormat {
    uint16_t FormatTag;
    uint16_t Channels;
    uint32_t SamplesPerSec;
    uint32_t AvgBytesPerSec;
    uint16_t BlockAlign;
    uint16_t BitsPerSample;
};
#pragma pack(pop)

static_assert(sizeof(FrameHeader) == 5, "FrameHeader is five packed bytes");
static_assert(sizeof(PcmFormat) == 16, "PcmFormat is sixteen bytes");

enum { FRAME_HEADER_SIZE = 5, PCM_FORMAT_SIZE = 16, VOLUME_WORD_SIZE = 4 };

// The version of these frames, as the service announces it on the network.
enum { STREAM_PROTOCOL_VERSION = 1 };

// Bytes go out in the machine's own (little-endian) order: the protocol does
// not convert to network order.
inline void EncodeFrameHeader(uint8_t code, int32_t value, unsigned char out[FRAME_HEADER_SIZE]) {
    out[0] = code;
    memcpy(out + 1, &value, sizeof value);
}

inline FrameHeader DecodeFrameHeader(const unsigned char in[FRAME_HEADER_SIZE]) {
    FrameHeader header;
    header.Code = in[0];
    memcpy(&header.Value, in + 1, sizeof header.Value);
    return header;
}

inline PcmFormat MakePcmFormat(uint32_t samplesPerSec, uint16_t channels, uint16_t bitsPerSample) {
    PcmFormat format;
    format.FormatTag = 1;
    format.Channels = channels;
    format.SamplesPerSec = samplesPerSec;
    format.BlockAlign = static_cast<uint16_t>(channels * bitsPerSample / 8);
    format.AvgBytesPerSec = samplesPerSec * format.BlockAlign;
    format.BitsPerSample = bitsPerSample;
    return format;
}
