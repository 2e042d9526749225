// A profile of the service's wave-out device on its own, in one process:
// where a flush spends its time, and what steady playback costs.
//
//   tvdevprof flush ROUNDS     2 s of 576-frame CD-audio blocks queued, then a flush
//   tvdevprof play SECONDS     steady CD-audio playback; CPU of this process
//
// Prints one line of figures; bench.py does not depend on it.
#include <windows.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "bench/measure.h"
#include "service/play_device.h"

namespace {

const int FramesPerBlock = 576;
const int BytesPerBlock = FramesPerBlock * 4;
const int BlocksInTwoSeconds = 44100 * 2 / FramesPerBlock;

struct CountingSink : IEndPlay {
    volatile LONG Returned = 0;
    LARGE_INTEGER LastReturn = {};
    std::vector<LARGE_INTEGER> *ReturnTimes = nullptr; // one per returned buffer, when set
    void OnEndPlay(int32_t) override {
        QueryPerformanceCounter(&LastReturn);
        if (ReturnTimes)
            ReturnTimes->push_back(LastReturn);
        InterlockedIncrement(&Returned);
    }
};

LARGE_INTEGER Frequency;

double MsBetween(LARGE_INTEGER from, LARGE_INTEGER to) {
    return (to.QuadPart - from.QuadPart) * 1000.0 / Frequency.QuadPart;
}

LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double Largest(const std::vector<double> &values) {
    return *std::max_element(values.begin(), values.end());
}

// waveOutReset gives every queued buffer back through the callback before it
// returns, so its time includes the callbacks; the rest of the flush is the
// wait for the last release.
int ProfileFlush(PlayDevice *device, CountingSink *sink, int rounds) {
    std::vector<char> block(BytesPerBlock, 0);
    std::vector<double> reset, lastReturn, released;
    for (int round = 0; round < rounds; round++) {
        for (int i = 0; i < BlocksInTwoSeconds; i++)
            PlayDeviceWrite(device, BytesPerBlock, block.data());
        Sleep(200);
        LARGE_INTEGER start = Now();
        waveOutReset(device->WaveHandle);
        LARGE_INTEGER resetDone = Now();
        PlayDeviceFlush(device);
        LARGE_INTEGER allReleased = Now();
        reset.push_back(MsBetween(start, resetDone));
        lastReturn.push_back(MsBetween(start, sink->LastReturn));
        released.push_back(MsBetween(start, allReleased));
    }
    printf("flush of %d buffers, %d rounds: waveOutReset %.1f ms (largest %.1f), last buffer "
           "returned %.1f ms (largest %.1f), all released %.1f ms (largest %.1f)\n",
           BlocksInTwoSeconds, rounds, Median(reset), Largest(reset), Median(lastReturn),
           Largest(lastReturn), Median(released), Largest(released));
    return 0;
}

// The largest distance, in ms of audio, between the returned-audio count
// and the straight line fitted through it: how unevenly the device gives
// buffers back, before any network is involved. The first and last half
// second, when the queue fills and drains, are left out.
double ReturnJitterMs(std::vector<LARGE_INTEGER> times) {
    const size_t edge = 44100 / 2 / FramesPerBlock;
    if (times.size() <= 2 * edge)
        return 0;
    times = std::vector<LARGE_INTEGER>(times.begin() + edge, times.end() - edge);
    const double blockMs = FramesPerBlock * 1000.0 / 44100;
    size_t n = times.size();
    if (n < 3)
        return 0;
    double meanT = 0, meanP = 0;
    for (size_t i = 0; i < n; i++) {
        meanT += MsBetween(times[0], times[i]);
        meanP += (i + 1) * blockMs;
    }
    meanT /= n;
    meanP /= n;
    double covariance = 0, variance = 0;
    for (size_t i = 0; i < n; i++) {
        double t = MsBetween(times[0], times[i]) - meanT;
        covariance += t * ((i + 1) * blockMs - meanP);
        variance += t * t;
    }
    double slope = covariance / variance, largest = 0;
    for (size_t i = 0; i < n; i++) {
        double t = MsBetween(times[0], times[i]) - meanT;
        largest = std::max(largest, fabs((i + 1) * blockMs - meanP - slope * t));
    }
    return largest;
}

// Keeps about half a second queued, as the plug-in's pacing does.
int ProfilePlay(PlayDevice *device, CountingSink *sink, int seconds) {
    std::vector<char> block(BytesPerBlock, 0);
    std::vector<LARGE_INTEGER> returnTimes;
    returnTimes.reserve(seconds * 44100 / FramesPerBlock + 16);
    sink->ReturnTimes = &returnTimes;
    const int blocks = seconds * 44100 / FramesPerBlock;
    const int queueLimit = 44100 / 2 / FramesPerBlock;
    double cpuBefore = ProcessCpuSeconds();
    for (int written = 0; written < blocks;) {
        if (written - sink->Returned < queueLimit) {
            PlayDeviceWrite(device, BytesPerBlock, block.data());
            written++;
        } else {
            Sleep(5);
        }
    }
    while (sink->Returned < blocks)
        Sleep(5);
    double cpu = ProcessCpuSeconds() - cpuBefore;
    sink->ReturnTimes = nullptr;
    printf("steady play of %d s: %.2f CPU s, %.2f CPU s per minute of audio; buffers returned "
           "within %.1f ms of a straight line\n",
           seconds, cpu, cpu * 60 / seconds, ReturnJitterMs(returnTimes));
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3 || (strcmp(argv[1], "flush") && strcmp(argv[1], "play"))) {
        fprintf(stderr, "usage: tvdevprof flush ROUNDS | play SECONDS\n");
        return 1;
    }
    QueryPerformanceFrequency(&Frequency);
    PcmFormat format = MakePcmFormat(44100, 2, 16);
    CountingSink sink;
    PlayDevice device;
    if (!PlayDeviceOpen(&device, &format, &sink)) {
        printf("the device did not open\n");
        return 2;
    }
    int count = std::max(1, atoi(argv[2]));
    int result = !strcmp(argv[1], "flush") ? ProfileFlush(&device, &sink, count)
                                           : ProfilePlay(&device, &sink, count);
    PlayDeviceClose(&device);
    return result;
}
