// Reads the RIFF chunks of a WAV file, judges its format and reads sample
// frames from its data chunk.
#include "host/wav_reader.h"

#include <stdio.h>
#include <string.h>

namespace {

const uint16_t FormatPcm = 1;
const uint16_t FormatExtensible = 0xFFFE;
// KSDATAFORMAT_SUBTYPE_PCM: 00000001-0000-0010-8000-00AA00389B71.
const unsigned char PcmSubformat[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                        0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

uint16_t Le16(const unsigned char *p) { return (uint16_t)(p[0] | p[1] << 8); }
uint32_t Le32(const unsigned char *p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

bool ReadAt(HANDLE file, uint64_t offset, void *buffer, DWORD size) {
    LARGE_INTEGER where;
    where.QuadPart = (LONGLONG)offset;
    DWORD got = 0;
    return SetFilePointerEx(file, where, nullptr, FILE_BEGIN) &&
           ReadFile(file, buffer, size, &got, nullptr) && got == size;
}

std::string Printf(const char *format, int a, int b = 0) {
    char text[200];
    snprintf(text, sizeof text, format, a, b);
    return text;
}

// Judges the "fmt " chunk; fills the format fields of *wav.
bool ReadFormat(const unsigned char *fmt, uint32_t size, WavFile *wav, std::string *error) {
    if (size < 16) {
        *error = "not a WAV file: its format chunk is too short";
        return false;
    }
    uint16_t tag = Le16(fmt);
    if (tag == FormatExtensible) {
        if (size < 40 || Le16(fmt + 16) < 22) {
            *error = "not a WAV file: its extensible format record is too short";
            return false;
        }
        if (memcmp(fmt + 24, PcmSubformat, 16) != 0) {
            *error = "unsupported WAV: the extensible format's subformat is not PCM "
                     "(only PCM can be played)";
            return false;
        }
    } else if (tag != FormatPcm) {
        *error = Printf("unsupported WAV: format tag %d is not PCM (only PCM, tag 1 or "
                        "extensible PCM, can be played)",
                        tag);
        return false;
    }
    wav->NumChannels = Le16(fmt + 2);
    wav->SampleRate = (int)Le32(fmt + 4);
    wav->BlockAlign = Le16(fmt + 12);
    wav->BitsPerSample = Le16(fmt + 14);
    int bits = wav->BitsPerSample;
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32) {
        *error = Printf("unsupported WAV: %d bits per sample (8, 16, 24 or 32 can be played)",
                        bits);
        return false;
    }
    if (wav->NumChannels < 1 || wav->NumChannels > 8) {
        *error = Printf("unsupported WAV: %d channels (1 to 8 can be played)", wav->NumChannels);
        return false;
    }
    if (wav->SampleRate < 1 || wav->SampleRate > 1000000) {
        *error = Printf("unsupported WAV: a sample rate of %d Hz", wav->SampleRate);
        return false;
    }
    if (wav->BlockAlign != wav->NumChannels * bits / 8) {
        *error = Printf("not a valid WAV file: block align %d does not fit %d channels",
                        wav->BlockAlign, wav->NumChannels);
        return false;
    }
    return true;
}

// Walks the chunks after the RIFF header; a truncated data chunk counts only
// the frames the file really holds.
bool ReadChunks(HANDLE file, uint64_t fileSize, WavFile *wav, std::string *error) {
    unsigned char riff[12];
    if (!ReadAt(file, 0, riff, sizeof riff) || memcmp(riff, "RIFF", 4) != 0 ||
        memcmp(riff + 8, "WAVE", 4) != 0) {
        *error = "not a WAV file: no RIFF WAVE header";
        return false;
    }
    bool haveFormat = false;
    uint64_t at = 12;
    unsigned char chunk[8];
    while (at + 8 <= fileSize && ReadAt(file, at, chunk, sizeof chunk)) {
        uint32_t size = Le32(chunk + 4);
        uint64_t body = at + 8;
        if (memcmp(chunk, "fmt ", 4) == 0) {
            unsigned char fmt[64] = {};
            DWORD take = size < sizeof fmt ? size : (DWORD)sizeof fmt;
            if (!ReadAt(file, body, fmt, take)) {
                *error = "not a WAV file: its format chunk is cut off";
                return false;
            }
            if (!ReadFormat(fmt, size, wav, error))
                return false;
            haveFormat = true;
        } else if (memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) {
                *error = "not a valid WAV file: the data chunk comes before the format chunk";
                return false;
            }
            uint64_t available = fileSize - body;
            uint64_t bytes = size < available ? size : available;
            wav->DataOffset = body;
            wav->Frames = (uint32_t)(bytes / (uint64_t)wav->BlockAlign);
            return true;
        }
        at = body + size + (size & 1); // chunks are padded to an even size
    }
    *error = haveFormat ? "not a valid WAV file: it has no data chunk"
                        : "not a WAV file: it has no format chunk";
    return false;
}

} // namespace

bool OpenWav(const wchar_t *path, WavFile *wav, std::string *error) {
    *wav = WavFile();
    error->clear();
    wav->File = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    if (wav->File == INVALID_HANDLE_VALUE) {
        *error = Printf("cannot open the file (Windows error %d)", (int)GetLastError());
        return false;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(wav->File, &size) || !ReadChunks(wav->File, (uint64_t)size.QuadPart, wav,
                                                        error)) {
        if (error->empty())
            *error = "cannot read the file";
        CloseWav(wav);
        return false;
    }
    return true;
}

uint32_t ReadFrames(WavFile *wav, uint32_t first, void *buffer, uint32_t count) {
    if (first >= wav->Frames)
        return 0;
    if (count > wav->Frames - first)
        count = wav->Frames - first;
    LARGE_INTEGER where;
    where.QuadPart = (LONGLONG)(wav->DataOffset + (uint64_t)first * wav->BlockAlign);
    DWORD got = 0;
    if (!SetFilePointerEx(wav->File, where, nullptr, FILE_BEGIN) ||
        !ReadFile(wav->File, buffer, count * wav->BlockAlign, &got, nullptr))
        return 0;
    return got / wav->BlockAlign;
}

int WavLengthMs(const WavFile &wav) {
    return wav.SampleRate > 0 ? (int)((uint64_t)wav.Frames * 1000 / wav.SampleRate) : 0;
}

void CloseWav(WavFile *wav) {
    if (wav->File != INVALID_HANDLE_VALUE)
        CloseHandle(wav->File);
    wav->File = INVALID_HANDLE_VALUE;
}
