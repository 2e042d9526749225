// The benchmark's floor: a bare wave-out player, one process, no network and
// no service code, so that bench.py can read every figure of the whole road
// as a multiple of what wave-out itself costs in the same Wine.
//
// How it plays: the wave mapper is opened with a callback function that only
// pushes each returned header onto a lock-free list and sets an event; the
// main thread takes the list, keeps the headers prepared and writes the next
// blocks into them. No thread per buffer, no copy but the block's own, no
// allocation once the queue is full: the cheapest correct way through
// wave-out (floor_player.cpp; the seeks and tracks modes are in
// floor_stretches.cpp).
//
//   tvfloor open COUNT                                waveOutOpen, then waveOutClose,
//                                                     BetweenTracksMs apart
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
// playback alone. Reset and play set the road's volume word for the
// player's 255 after their open, as the road's client sets that volume.
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
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "bench/floor_player.h"
#include "bench/floor_stretches.h"
#include "bench/measure.h"

namespace {

std::string Joined(const std::vector<double> &values) {
    std::string text;
    char number[32];
    for (size_t i = 0; i < values.size(); i++) {
        snprintf(number, sizeof number, i ? ",%.3f" : "%.3f", values[i]);
        text += number;
    }
    return text;
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
        Sleep(BetweenTracksMs);
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
    waveOutSetVolume(player->Handle, VolumeAt255);
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
    waveOutSetVolume(player->Handle, VolumeAt255);
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
