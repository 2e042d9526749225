// What the benchmark's programs share: the noise they play and the CPU time
// they read of their own process.
#pragma once

#include <windows.h>
#include <stdint.h>

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
