// The benchmark's floor: a bare wave-out player, one process, no network and
// no service code, so that bench.py can read every figure of the whole road
// as a multiple of what wave-out itself costs in the same Wine.
//
// How it plays: the wave mapper is opened with a callback function that only
// pushes each returned header onto a lock-free list and sets an event; the
// main thread takes the list, keeps the headers prepared and writes the next
// blocks into them. No thread per buffer, no copy but the block's own, no
// allocation once the queue is full: the cheapest correct way through
// wave-out.
//
//   tvfloor open COUNT                                waveOutOpen, then waveOutClose
//   tvfloor reset COUNT QUEUED_MS                     waveOutReset with QUEUED_MS queued
//   tvfloor play SECONDS RATE CHANNELS BITS QUEUED_MS [EVERY_MS PAUSE_MS]
//                                                     steady playback, paused for
//                                                     PAUSE_MS every EVERY_MS
//   tvfloor seeks COUNT FILE EVERY_MS QUEUED_MS plain|primed
//                                                     FILE played with a seek
//                                                     (waveOutReset, then the queue
//                                                     refilled from another place)
//                                                     every EVERY_MS, COUNT times
//   tvfloor tracks COUNT FILE EVERY_MS QUEUED_MS plain|primed
//                                                     COUNT tracks of EVERY_MS, each
//                                                     a waveOutOpen of its own
//
// Each of the first three prints one line of name=value figures (lists joined
// by commas), or a line starting with "error" and exits with 1. Play prints
// the line "playing" first, once Wine's start-up and the warm-up open are
// behind it, so that a watcher can count the process's wake-ups over the
// playback alone.
//
// Seeks and tracks play FILE (16-bit stereo at 44.1 kHz; see measure.h for
// where each stretch starts) at the road's volume word for the player's 255,
// keeping QUEUED_MS queued. Plain writes and plays at once; primed holds the
// device with waveOutPause after each open or reset and restarts it once
// 60 ms are queued, or 100 ms after the first block held, as the service does
// (with 60 ms or more queued the deadline never comes). They print, on the
// performance counter in ms, "reset MS FRAME" when every buffer is back from
// a seek's waveOutReset or "open MS FRAME" as each waveOutOpen is called,
// FRAME being where the file plays from, and "clock MS" lines every 20 ms
// while playing, for bench.py to put these times on its own clock; then
// "done", or "error ..." and exit code 1.
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "bench/measure.h"
// The service's priming rule, which the primed stretch modes follow; only its
// figures, none of its code.
#include "service/play_device.h"

namespace {

const int FramesPerBlock = 576; // what the road's client writes
const DWORD ReturnTimeoutMs = 10000;

// Opens and resets are timed at CD audio, as the road's Open and Flush are.
const int CdRate = 44100, CdChannels = 2, CdBits = 16;

struct Player {
    HWAVEOUT Handle = nullptr;
    WAVEHDR *volatile Returned = nullptr; // pushed by the callback, linked through dwUser
    HANDLE ReturnedEvent = nullptr;
    std::vector<WAVEHDR *> Ready;        // prepared and back from the device
    int BlockBytes = 0;
    int Outstanding = 0;                 // written and not yet taken back
};

LARGE_INTEGER Frequency;

double NowMs() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart * 1000.0 / Frequency.QuadPart;
}

std::string Joined(const std::vector<double> &values) {
    std::string text;
    char number[32];
    for (size_t i = 0; i < values.size(); i++) {
        snprintf(number, sizeof number, i ? ",%.3f" : "%.3f", values[i]);
        text += number;
    }
    return text;
}

int Fail(const char *what, unsigned code) {
    printf("error %s %u\n", what, code);
    return 1;
}

// Runs on the wave-out thread, where only a few system calls are allowed;
// SetEvent and interlocked operations are among them.
void CALLBACK OnWaveOut(HWAVEOUT, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
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

// Waits for the next returned headers; false when none came back in time,
// so that a device that stops returning buffers ends the run, not hangs it.
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

WAVEHDR *NewPreparedHeader(Player *player) {
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

// Whole blocks only, as the road's client writes while a whole one has room.
int BlocksFor(int64_t ms, int rate) {
    int blocks = (int)(ms * rate / 1000 / FramesPerBlock);
    return blocks > 0 ? blocks : 1;
}

// Writes blocks until `queue` are outstanding; false if the device refused one.
bool FillQueue(Player *player, const std::vector<char> &block, int queue) {
    TakeReturned(player);
    while (player->Outstanding < queue)
        if (!WriteBlock(player, block.data()))
            return false;
    return true;
}

// A service loads the sound driver once, at its first stream; the first open
// here, which loads it, is a warm-up and not timed.
int TimeOpens(Player *player, int count) {
    MMRESULT warmUp = OpenPlayer(player, CdRate, CdChannels, CdBits);
    if (warmUp != MMSYSERR_NOERROR)
        return Fail("waveOutOpen", warmUp);
    ClosePlayer(player);
    std::vector<double> opens, closes;
    for (int i = 0; i < count; i++) {
        double start = NowMs();
        MMRESULT result = OpenPlayer(player, CdRate, CdChannels, CdBits);
        double opened = NowMs();
        if (result != MMSYSERR_NOERROR)
            return Fail("waveOutOpen", result);
        ClosePlayer(player);
        opens.push_back(opened - start);
        closes.push_back(NowMs() - opened);
    }
    printf("open_ms=%s close_ms=%s\n", Joined(opens).c_str(), Joined(closes).c_str());
    return 0;
}

// As the road's seek: fill the queue, let it play a moment, top it up, then
// time the reset until every queued buffer is back in the player's hands.
int TimeResets(Player *player, int count, int queuedMs) {
    MMRESULT result = OpenPlayer(player, CdRate, CdChannels, CdBits);
    if (result != MMSYSERR_NOERROR)
        return Fail("waveOutOpen", result);
    std::vector<char> block = NoiseBlock(player->BlockBytes);
    const int queue = BlocksFor(queuedMs, CdRate);
    std::vector<double> resets;
    for (int i = 0; i < count; i++) {
        if (!FillQueue(player, block, queue))
            return Fail("waveOutWrite", 0);
        Sleep(50);
        if (!FillQueue(player, block, queue))
            return Fail("waveOutWrite", 0);
        double start = NowMs();
        waveOutReset(player->Handle);
        if (!AwaitAllReturned(player))
            return Fail("buffers not returned after waveOutReset", player->Outstanding);
        resets.push_back(NowMs() - start);
    }
    ClosePlayer(player);
    printf("queued_ms=%d blocks=%d reset_ms=%s\n", queuedMs, queue, Joined(resets).c_str());
    return 0;
}

// SECONDS of noise in 576-frame blocks, keeping QUEUED_MS queued as the
// road's pacing does, until the last block has come back. The CPU figure is
// this process's from the open to the close, as a running service spends it
// per stream: Wine's start-up and the sound driver's loading at the first
// open are left out by a warm-up open before it.
int Play(Player *player, int seconds, int rate, int channels, int bits, int queuedMs,
         int pauseEveryMs, int pauseMs) {
    MMRESULT result = OpenPlayer(player, rate, channels, bits);
    if (result != MMSYSERR_NOERROR)
        return Fail("waveOutOpen", result);
    ClosePlayer(player);
    printf("playing\n");
    fflush(stdout);
    // Time for the watcher to see the line before the figures count.
    Sleep(200);
    double cpuBefore = ProcessCpuSeconds(), start = NowMs();
    result = OpenPlayer(player, rate, channels, bits);
    if (result != MMSYSERR_NOERROR)
        return Fail("waveOutOpen", result);
    std::vector<char> block = NoiseBlock(player->BlockBytes);
    const int queue = BlocksFor(queuedMs, rate);
    const int total = (int)((int64_t)rate * seconds / FramesPerBlock);
    int written = 0;
    double lastPause = NowMs();
    while (written < total || player->Outstanding > 0) {
        if (pauseEveryMs > 0 && NowMs() - lastPause >= pauseEveryMs) {
            waveOutPause(player->Handle);
            Sleep(pauseMs);
            waveOutRestart(player->Handle);
            lastPause = NowMs();
        }
        while (written < total && player->Outstanding < queue) {
            if (!WriteBlock(player, block.data()))
                return Fail("waveOutWrite", written);
            written++;
        }
        if (!AwaitReturns(player))
            return Fail("buffers stopped coming back after block", written - player->Outstanding);
    }
    ClosePlayer(player);
    double wallMs = NowMs() - start, cpu = ProcessCpuSeconds() - cpuBefore;
    printf("seconds=%d rate=%d channels=%d bits=%d queued_ms=%d blocks=%d bytes=%lld "
           "cpu_s=%.3f wall_ms=%.1f\n",
           seconds, rate, channels, bits, queuedMs, total,
           (long long)total * player->BlockBytes, cpu, wallMs);
    return 0;
}

// ---- stretches: a seek or a new track every EVERY_MS ----

const DWORD VolumeAt255 = 0xFF00FF00;   // the road's volume word for the player's 255

struct Stretch {
    const std::vector<char> *File = nullptr;
    int64_t Offset = 0;     // the next byte of the file to write
    bool Holding = false;   // paused until PrimeBytes are queued or the deadline
    int HeldBytes = 0;
    double HeldSince = 0;   // when the first block was held
    int PrimeBytes = 0;
    double LastClock = 0;
};

void StartHeld(Player *player, Stretch *stretch) {
    waveOutRestart(player->Handle);
    stretch->Holding = false;
}

// Writes the file's next blocks until `queue` are outstanding, restarting a
// held device once it holds the priming amount.
bool FillFromFile(Player *player, Stretch *stretch, std::vector<char> &block, int queue) {
    TakeReturned(player);
    while (player->Outstanding < queue) {
        NextFromFile(*stretch->File, &stretch->Offset, block.data(), player->BlockBytes);
        if (!WriteBlock(player, block.data()))
            return false;
        if (!stretch->Holding)
            continue;
        if (stretch->HeldBytes == 0)
            stretch->HeldSince = NowMs();
        if ((stretch->HeldBytes += player->BlockBytes) >= stretch->PrimeBytes)
            StartHeld(player, stretch);
    }
    return true;
}

// Keeps the queue full until `untilMs`; false if the device refused a block
// or stopped returning them.
bool PlayUntil(Player *player, Stretch *stretch, std::vector<char> &block, int queue,
               double untilMs) {
    double lastReturn = NowMs();
    for (double now = lastReturn; now < untilMs; now = NowMs()) {
        double wait = untilMs - now < StretchClockEveryMs ? untilMs - now + 1 : StretchClockEveryMs;
        if (TakeReturned(player) ||
            (WaitForSingleObject(player->ReturnedEvent, (DWORD)wait) == WAIT_OBJECT_0 &&
             TakeReturned(player)))
            lastReturn = NowMs();
        else if (NowMs() - lastReturn > ReturnTimeoutMs)
            return false;
        if (stretch->Holding && NowMs() - stretch->HeldSince >= PRIME_DEADLINE_MS)
            StartHeld(player, stretch);
        if (!FillFromFile(player, stretch, block, queue))
            return false;
        PrintClockIfDue(NowMs(), &stretch->LastClock);
    }
    return true;
}

// Opens the device for a stretch as the service does: at the road's volume,
// held for priming if asked.
MMRESULT OpenForStretch(Player *player, Stretch *stretch, bool primed) {
    MMRESULT result = OpenPlayer(player, CdRate, CdChannels, CdBits);
    if (result != MMSYSERR_NOERROR)
        return result;
    waveOutSetVolume(player->Handle, VolumeAt255);
    if (primed)
        waveOutPause(player->Handle);
    stretch->Holding = primed;
    stretch->HeldBytes = 0;
    return MMSYSERR_NOERROR;
}

// Seeks: one open, then COUNT resets. Tracks: COUNT opens, each closing the
// track before it. Every stretch plays from StretchStartFrame for EVERY_MS.
int PlayStretches(Player *player, const std::vector<char> &file, int count, int everyMs,
                  int queuedMs, bool primed, bool tracks) {
    // The first open loads the sound driver, as a running service's first did.
    MMRESULT result = OpenPlayer(player, CdRate, CdChannels, CdBits);
    if (result != MMSYSERR_NOERROR)
        return Fail("waveOutOpen", result);
    ClosePlayer(player);
    Stretch stretch;
    stretch.File = &file;
    stretch.PrimeBytes = CdRate * CdChannels * CdBits / 8 / 1000 * PRIME_MS;
    std::vector<char> block(player->BlockBytes);
    const int queue = BlocksFor(queuedMs, CdRate);
    const int stretches = tracks ? count : count + 1;
    for (int i = 0; i < stretches; i++) {
        double at = 0;
        bool opens = tracks || i == 0;
        if (opens) {
            if (i > 0 && !ClosePlayer(player))
                return Fail("buffers not returned before waveOutClose", player->Outstanding);
            at = NowMs();
            if ((result = OpenForStretch(player, &stretch, primed)) != MMSYSERR_NOERROR)
                return Fail("waveOutOpen", result);
        } else {
            waveOutReset(player->Handle);
            if (!AwaitAllReturned(player))
                return Fail("buffers not returned after waveOutReset", player->Outstanding);
            at = NowMs();
            if (primed)
                waveOutPause(player->Handle);
            stretch.Holding = primed;
            stretch.HeldBytes = 0;
        }
        const int64_t frame = StretchStartFrame(i);
        stretch.Offset = frame * StretchFrameBytes;
        if (!FillFromFile(player, &stretch, block, queue))
            return Fail("waveOutWrite", i);
        if (tracks || i > 0) {
            printf("%s %.3f %lld\n", opens ? "open" : "reset", at, (long long)frame);
            fflush(stdout);
        }
        if (!PlayUntil(player, &stretch, block, queue, at + everyMs))
            return Fail("buffers stopped coming back in stretch", i);
    }
    if (!ClosePlayer(player))
        return Fail("buffers not returned before waveOutClose", player->Outstanding);
    printf("done\n");
    return 0;
}

int Stretches(int argc, char **argv, Player *player) {
    bool tracks = !strcmp(argv[1], "tracks");
    int count = atoi(argv[2]), everyMs = atoi(argv[4]), queuedMs = atoi(argv[5]);
    bool primed = !strcmp(argv[6], "primed");
    if (count <= 0 || everyMs <= 0 || queuedMs <= 0 || (!primed && strcmp(argv[6], "plain")) ||
        argc != 7)
        return 2;
    std::vector<char> file;
    if (!ReadWholeFile(fopen(argv[3], "rb"), &file) || file.size() % StretchFrameBytes)
        return Fail("cannot read the 16-bit stereo file", 0);
    return PlayStretches(player, file, count, everyMs, queuedMs, primed, tracks);
}

} // namespace

int main(int argc, char **argv) {
    QueryPerformanceFrequency(&Frequency);
    const char *mode = argc > 2 ? argv[1] : "";
    int count = argc > 2 ? atoi(argv[2]) : 0;
    Player player;
    player.ReturnedEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    int result = 2;
    if (!strcmp(mode, "open") && count > 0)
        result = TimeOpens(&player, count);
    else if (!strcmp(mode, "reset") && count > 0 && argc > 3)
        result = TimeResets(&player, count, atoi(argv[3]));
    else if (!strcmp(mode, "play") && count > 0 && argc > 6)
        result = Play(&player, count, atoi(argv[3]), atoi(argv[4]), atoi(argv[5]),
                      atoi(argv[6]), argc > 8 ? atoi(argv[7]) : 0, argc > 8 ? atoi(argv[8]) : 0);
    else if ((!strcmp(mode, "seeks") || !strcmp(mode, "tracks")) && argc == 7)
        result = Stretches(argc, argv, &player);
    if (result == 2)
        fprintf(stderr, "usage: tvfloor open COUNT\n"
                        "       tvfloor reset COUNT QUEUED_MS\n"
                        "       tvfloor play SECONDS RATE CHANNELS BITS QUEUED_MS"
                        " [EVERY_MS PAUSE_MS]\n"
                        "       tvfloor seeks|tracks COUNT FILE EVERY_MS QUEUED_MS"
                        " plain|primed\n");
    fflush(stdout);
    CloseHandle(player.ReturnedEvent);
    return result;
}
