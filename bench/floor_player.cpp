// The floor's wave-out player: no thread per buffer, no copy but the block's
// own, no allocation once the queue is full; the cheapest correct way
// through wave-out.
#include "bench/floor_player.h"

#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

LARGE_INTEGER Frequency;

double NowMs() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart * 1000.0 / Frequency.QuadPart;
}

int Fail(const char *what, unsigned code) {
    printf("error %s %u\n", what, code);
    return 1;
}

// Runs on the wave-out thread, where only a few system calls are allowed;
// SetEvent and interlocked operations are among them.
static void CALLBACK OnWaveOut(HWAVEOUT, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                               DWORD_PTR) {
    if (message != WOM_DONE)
        return;
    Player *player = reinterpret_cast<Player *>(instance);
    WAVEHDR *done = reinterpret_cast<WAVEHDR *>(param1);
    WAVEHDR *head;
    do {
        head = player->Returned;
        done->dwUser = reinterpret_cast<DWORD_PTR>(head);
    } while (InterlockedCompareExchangePointer(reinterpret_cast<void *volatile *>(&player->Returned),
                                               done, head) != head);
    SetEvent(player->ReturnedEvent);
}

int TakeReturned(Player *player) {
    WAVEHDR *header = static_cast<WAVEHDR *>(InterlockedExchangePointer(
        reinterpret_cast<void *volatile *>(&player->Returned), nullptr));
    int taken = 0;
    for (; header; header = reinterpret_cast<WAVEHDR *>(header->dwUser), taken++)
        player->Ready.push_back(header);
    player->Outstanding -= taken;
    return taken;
}

bool AwaitReturns(Player *player) {
    if (TakeReturned(player))
        return true;
    if (WaitForSingleObject(player->ReturnedEvent, ReturnTimeoutMs) != WAIT_OBJECT_0)
        return TakeReturned(player) > 0;
    TakeReturned(player);
    return true;
}

bool AwaitAllReturned(Player *player) {
    while (player->Outstanding > 0)
        if (!AwaitReturns(player))
            return false;
    return true;
}

static WAVEHDR *NewPreparedHeader(Player *player) {
    WAVEHDR *header = static_cast<WAVEHDR *>(calloc(1, sizeof(WAVEHDR)));
    char *data = static_cast<char *>(malloc(player->BlockBytes));
    if (!header || !data) {
        free(data);
        free(header);
        return nullptr;
    }
    header->lpData = data;
    header->dwBufferLength = player->BlockBytes;
    if (waveOutPrepareHeader(player->Handle, header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
        free(data);
        free(header);
        return nullptr;
    }
    return header;
}

bool WriteBlock(Player *player, const char *block) {
    WAVEHDR *header;
    if (!player->Ready.empty()) {
        header = player->Ready.back();
        player->Ready.pop_back();
    } else if (!(header = NewPreparedHeader(player))) {
        return false;
    }
    memcpy(header->lpData, block, player->BlockBytes);
    if (waveOutWrite(player->Handle, header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
        player->Ready.push_back(header);
        return false;
    }
    player->Outstanding++;
    return true;
}

// Plain PCM for 8 or 16 bits in mono or stereo; anything wider goes as the
// extensible record with the PCM subformat, which Wine opens where it
// refuses the plain one (32 bits).
MMRESULT OpenPlayer(Player *player, int rate, int channels, int bits) {
    static const GUID PcmSubFormat = {
        0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
    WAVEFORMATEXTENSIBLE format = {};
    format.Format.wFormatTag = WAVE_FORMAT_PCM;
    format.Format.nChannels = (WORD)channels;
    format.Format.nSamplesPerSec = rate;
    format.Format.nBlockAlign = (WORD)(channels * bits / 8);
    format.Format.nAvgBytesPerSec = rate * format.Format.nBlockAlign;
    format.Format.wBitsPerSample = (WORD)bits;
    if (bits > 16 || channels > 2) {
        format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        format.Format.cbSize = sizeof format - sizeof format.Format;
        format.Samples.wValidBitsPerSample = (WORD)bits;
        format.dwChannelMask = channels == 8 ? KSAUDIO_SPEAKER_7POINT1_SURROUND
                               : channels == 2 ? KSAUDIO_SPEAKER_STEREO
                                               : 0;
        format.SubFormat = PcmSubFormat;
    }
    player->BlockBytes = FramesPerBlock * format.Format.nBlockAlign;
    return waveOutOpen(&player->Handle, WAVE_MAPPER, &format.Format,
                       reinterpret_cast<DWORD_PTR>(OnWaveOut), reinterpret_cast<DWORD_PTR>(player),
                       CALLBACK_FUNCTION);
}

bool ClosePlayer(Player *player) {
    waveOutReset(player->Handle);
    bool allBack = AwaitAllReturned(player);
    for (WAVEHDR *header : player->Ready) {
        waveOutUnprepareHeader(player->Handle, header, sizeof(WAVEHDR));
        free(header->lpData);
        free(header);
    }
    player->Ready.clear();
    waveOutClose(player->Handle);
    player->Handle = nullptr;
    return allBack;
}

int BlocksFor(int64_t ms, int rate) {
    int blocks = (int)(ms * rate / 1000 / FramesPerBlock);
    return blocks > 0 ? blocks : 1;
}

bool FillQueue(Player *player, const std::vector<char> &block, int queue) {
    TakeReturned(player);
    while (player->Outstanding < queue)
        if (!WriteBlock(player, block.data()))
            return false;
    return true;
}
