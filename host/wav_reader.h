// Reads PCM WAV files: the plain PCM record and the extensible one with the
// PCM subformat, 8, 16, 24 or 32 bits, 1 to 8 channels. The decoder reads
// whole sample frames from any position.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <string>

struct WavFile {
    HANDLE File = INVALID_HANDLE_VALUE;
    int SampleRate = 0;
    int NumChannels = 0;
    int BitsPerSample = 0;
    int BlockAlign = 0;
    uint64_t DataOffset = 0; // file offset of the first sample frame
    uint32_t Frames = 0;     // whole sample frames in the data chunk
};

// False with a message in *error for a file that cannot be read or is not PCM
// this host plays; the file is then closed.
bool OpenWav(const wchar_t *path, WavFile *wav, std::string *error);
// Reads up to `count` frames starting at frame `first`; returns the frames read.
uint32_t ReadFrames(WavFile *wav, uint32_t first, void *buffer, uint32_t count);
int WavLengthMs(const WavFile &wav);
void CloseWav(WavFile *wav);
