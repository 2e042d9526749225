// The benchmark client: loads an output plug-in the way the player does and
// times its operations with the performance counter, one figure per line on
// standard output, for bench.py to summarise.
//
//   tvbench --plugin DLL open COUNT
//   tvbench --plugin DLL flush COUNT
//   tvbench --plugin DLL play SECONDS RATE CHANNELS BITS
#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <vector>

#include "bench/measure.h"
#include "plugin/out_module.h"

namespace {

const int FramesPerBlock = 576;  // what the player's decoders hand out
const DWORD SampleEveryMs = 20;

LARGE_INTEGER CounterFrequency;

double NowMs() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart * 1000.0 / CounterFrequency.QuadPart;
}

Out_Module *LoadPlugin(const wchar_t *path) {
    HMODULE module = LoadLibraryW(path);
    if (!module)
        return nullptr;
    GetOutModuleFunction get =
        (GetOutModuleFunction)(void *)GetProcAddress(module, "winampGetOutModule");
    if (!get)
        return nullptr;
    Out_Module *out = get();
    if (out) {
        out->hMainWindow = nullptr;
        out->hDllInstance = module;
    }
    return out;
}

// Writes blocks while the plug-in has room for a whole one; returns the bytes taken.
int64_t FillWhileRoom(Out_Module *out, std::vector<char> &block, int64_t limit) {
    int64_t taken = 0;
    while (taken + (int64_t)block.size() <= limit && out->CanWrite() >= (int)block.size()) {
        out->Write(block.data(), (int)block.size());
        taken += block.size();
    }
    return taken;
}

// One untimed Open first, as the floor does: the service's first open of a
// stream loads the sound driver, which a running service pays once.
int TimeOpens(Out_Module *out, int count) {
    if (out->Open(44100, 2, 16, -1, -1) >= 0)
        out->Close();
    for (int i = 0; i < count; i++) {
        double start = NowMs();
        int result = out->Open(44100, 2, 16, -1, -1);
        double opened = NowMs();
        out->Close();
        double closed = NowMs();
        if (result < 0) {
            printf("error open failed\n");
            return 1;
        }
        printf("open %.3f\nclose %.3f\n", opened - start, closed - opened);
        fflush(stdout);
    }
    return 0;
}

// Each seek: fill the whole buffer, let it play a moment, flush to 0.
int TimeFlushes(Out_Module *out, int count) {
    int bufferMs = out->Open(44100, 2, 16, -1, -1);
    if (bufferMs < 0) {
        printf("error open failed\n");
        return 1;
    }
    std::vector<char> block = NoiseBlock(FramesPerBlock * 4);
    for (int i = 0; i < count; i++) {
        int64_t queued = FillWhileRoom(out, block, INT64_MAX);
        Sleep(50);
        queued += FillWhileRoom(out, block, INT64_MAX);
        int writtenMs = out->GetWrittenTime(), outputMs = out->GetOutputTime();
        double start = NowMs();
        out->Flush(0);
        double flushed = NowMs();
        printf("flush %.3f queued_ms %d\n", flushed - start, writtenMs - outputMs);
        fflush(stdout);
        (void)queued;
    }
    out->Close();
    printf("buffer_ms %d\n", bufferMs);
    return 0;
}

// Plays SECONDS of noise at the pace CanWrite allows, sampling the position
// with the wall clock every 20 ms until the output has drained.
int Play(Out_Module *out, int seconds, int rate, int channels, int bits) {
    if (out->Open(rate, channels, bits, -1, -1) < 0) {
        printf("error open failed\n");
        return 1;
    }
    int frameBytes = channels * bits / 8;
    std::vector<char> block = NoiseBlock(FramesPerBlock * frameBytes);
    int64_t total = (int64_t)rate * seconds * frameBytes;
    int64_t written = 0;
    double start = NowMs();
    for (;;) {
        written += FillWhileRoom(out, block, total - written);
        int position = out->GetOutputTime();
        printf("sample %.3f %d\n", NowMs() - start, position);
        if (written + (int64_t)block.size() > total) {
            out->CanWrite();
            if (!out->IsPlaying())
                break;
        }
        Sleep(SampleEveryMs);
    }
    printf("final %d length %lld written %lld\n", out->GetOutputTime(),
           (long long)(written * 1000 / ((int64_t)rate * frameBytes)), (long long)written);
    out->Close();
    return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    QueryPerformanceFrequency(&CounterFrequency);
    if (argc < 5 || wcscmp(argv[1], L"--plugin") != 0) {
        fprintf(stderr, "usage: tvbench --plugin DLL open|flush COUNT\n"
                        "       tvbench --plugin DLL play SECONDS RATE CHANNELS BITS\n");
        return 2;
    }
    Out_Module *out = LoadPlugin(argv[2]);
    if (!out) {
        fprintf(stderr, "tvbench: cannot load the plug-in\n");
        return 1;
    }
    out->Init();
    int result = 2;
    if (wcscmp(argv[3], L"open") == 0)
        result = TimeOpens(out, _wtoi(argv[4]));
    else if (wcscmp(argv[3], L"flush") == 0)
        result = TimeFlushes(out, _wtoi(argv[4]));
    else if (wcscmp(argv[3], L"play") == 0 && argc >= 8)
        result = Play(out, _wtoi(argv[4]), _wtoi(argv[5]), _wtoi(argv[6]), _wtoi(argv[7]));
    out->Quit();
    return result;
}
