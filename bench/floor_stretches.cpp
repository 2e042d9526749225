// The floor's stretch modes: FILE played from StretchStartFrame of each
// stretch, a seek (waveOutReset and the queue refilled from the new place) or
// a new track (waveOutOpen) every EVERY_MS, with the road's queue and volume.
// Primed holds the device paused after each open or reset as the service
// does, by the service's own figures (PRIME_MS, PRIME_DEADLINE_MS).
#include "bench/floor_stretches.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bench/measure.h"
// The service's priming rule, which the primed stretch modes follow; only its
// figures, none of its code.
#include "service/play_device.h"

namespace {

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
            Sleep(BetweenTracksMs);
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

} // namespace

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
