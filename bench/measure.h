// What the benchmark's programs share: the noise they play, the CPU time
// they read of their own process, and the stretch rows' signal and starts.
#pragma once

#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <vector>

// Noise that does not repeat within one block, so the sound path cannot treat
// the stream as silence.
inline std::vector<char> NoiseBlock(int bytes) {
    std::vector<char> block(bytes);
    uint32_t state = 12345;
    for (char &c : block) {
        state = state * 1664525u + 1013904223u;
        c = (char)(state >> 24);
    }
    return block;
}

inline double ProcessCpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    ULARGE_INTEGER k = {{kernel.dwLowDateTime, kernel.dwHighDateTime}};
    ULARGE_INTEGER u = {{user.dwLowDateTime, user.dwHighDateTime}};
    return (k.QuadPart + u.QuadPart) / 1e7;
}

// The stretch rows play a file of bench.py's making, 16-bit stereo at
// 44.1 kHz, from a new place at each seek or Open. Stretch i starts at whole
// second 3i mod 5 of the file (0, 3, 1, 4, 2, 0, ...), so that consecutive
// stretches start 2 s or more apart and the sound of one cannot be taken for
// the start of the next. Each program prints the frame it started from.
const int StretchRate = 44100, StretchFrameBytes = 4;

inline int64_t StretchStartFrame(int stretch) {
    return (int64_t)(stretch * 3 % 5) * StretchRate;
}

// Road and floor pause this long between closing a track and opening the
// next, as a player does between two tracks. Wine's waveOutOpen takes a fast
// path when it follows the last waveOutClose within about a millisecond:
// 0.5-0.7 ms at p50 here back to back, against 2.4-4.9 ms after a pause of
// any length from 1 ms to 300 ms. A service never takes that path (its close
// and the next open are a round trip over the network apart), so a floor
// that opened back to back would measure a path no player over a network
// can have.
const int BetweenTracksMs = 5;

// The whole of an open file; false if it could not be read or is empty.
inline bool ReadWholeFile(FILE *file, std::vector<char> *data) {
    if (!file)
        return false;
    char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        data->insert(data->end(), chunk, chunk + got);
    bool whole = !ferror(file);
    fclose(file);
    return whole && !data->empty();
}

// Copies the next `bytes` of the file into `block` from `*offset` on,
// wrapping at its end; a stretch never plays long enough to reach the wrap,
// but the queue written ahead of it may.
inline void NextFromFile(const std::vector<char> &file, int64_t *offset, char *block, int bytes) {
    for (int done = 0; done < bytes;) {
        int64_t at = *offset % (int64_t)file.size();
        int64_t left = (int64_t)file.size() - at;
        int piece = left < bytes - done ? (int)left : bytes - done;
        memcpy(block + done, file.data() + at, piece);
        done += piece;
        *offset = at + piece;
    }
}

// While they play, the stretch modes print "clock MS" (the performance
// counter in ms) every StretchClockEveryMs, for bench.py to put their times
// on its own clock. `now` is the caller's reading of the counter.
const double StretchClockEveryMs = 20;

inline void PrintClockIfDue(double now, double *lastClock) {
    if (now - *lastClock < StretchClockEveryMs)
        return;
    *lastClock = now;
    printf("clock %.3f\n", now);
    fflush(stdout);
}
