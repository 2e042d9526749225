// The benchmark client: loads an output plug-in the way the player does and
// times its operations with the performance counter, one figure per line on
// standard output, for bench.py to summarise.
//
//   tvbench --plugin DLL open COUNT
//   tvbench --plugin DLL flush COUNT
//   tvbench --plugin DLL play SECONDS RATE CHANNELS BITS
//   tvbench --plugin DLL seeks COUNT FILE EVERY_MS     a Flush to a new place every EVERY_MS
//   tvbench --plugin DLL tracks COUNT FILE EVERY_MS    COUNT Opens, each track EVERY_MS long
//
// Flush and play set the player's volume 255 after their Open, as a player
// does (PlayAtFullVolume). Seeks and tracks play FILE (16-bit stereo at
// 44.1 kHz; see measure.h for where each stretch starts) at the same volume,
// as tvfloor's modes of the same names do, and print on the performance counter in ms "flush MS
// FRAME" as each Flush returns or "open MS FRAME" as each Open is called,
// FRAME being where the file plays from, and "clock MS" lines every 20 ms
// while playing, for bench.py to put these times on its own clock.
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

// The plug-in starts at volume 0 and sends none with its Open, and a service
// opens its device at the last volume it was sent: without this, a fresh
// service plays the stream silent, which costs it less than the floor's
// playback at full volume.
void PlayAtFullVolume(Out_Module *out) { out->SetVolume(255); }

// One untimed Open first, as the floor does: the service's first open of a
// stream loads the sound driver, which a running service pays once.
int TimeOpens(Out_Module *out, int count) {
    if (out->Open(44100, 2, 16, -1, -1) >= 0)
        out->Close();
    for (int i = 0; i < count; i++) {
        Sleep(BetweenTracksMs);
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
    PlayAtFullVolume(out);
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
    PlayAtFullVolume(out);
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

// Writes the file's next blocks while the plug-in has room for a whole one.
void WriteFromFile(Out_Module *out, const std::vector<char> &file, int64_t *offset,
                   std::vector<char> &block) {
    while (out->CanWrite() >= (int)block.size()) {
        NextFromFile(file, offset, block.data(), (int)block.size());
        out->Write(block.data(), (int)block.size());
    }
}

// Seeks: one Open, then COUNT Flushes. Tracks: COUNT Opens, each closing the
// track before it. Every stretch plays from StretchStartFrame for EVERY_MS,
// written at the pace CanWrite allows, as a player's output thread does.
int PlayStretches(Out_Module *out, const std::vector<char> &file, int count, int everyMs,
                  bool tracks) {
    // One untimed Open first, as TimeOpens.
    if (out->Open(44100, 2, 16, -1, -1) >= 0)
        out->Close();
    std::vector<char> block(FramesPerBlock * StretchFrameBytes);
    int64_t offset = 0;
    double lastClock = 0;
    const int stretches = tracks ? count : count + 1;
    for (int i = 0; i < stretches; i++) {
        const int64_t frame = StretchStartFrame(i);
        bool opens = tracks || i == 0;
        double at;
        if (opens) {
            if (i > 0)
                out->Close();
            Sleep(BetweenTracksMs);
            at = NowMs();
            if (out->Open(44100, 2, 16, -1, -1) < 0) {
                printf("error open failed\n");
                return 1;
            }
            PlayAtFullVolume(out);
        } else {
            out->Flush((int)(frame * 1000 / StretchRate));
            at = NowMs();
        }
        offset = frame * StretchFrameBytes;
        WriteFromFile(out, file, &offset, block);
        if (tracks || i > 0) {
            printf("%s %.3f %lld\n", opens ? "open" : "flush", at, (long long)frame);
            fflush(stdout);
        }
        while (NowMs() < at + everyMs) {
            Sleep(10);
            WriteFromFile(out, file, &offset, block);
            PrintClockIfDue(NowMs(), &lastClock);
        }
    }
    out->Close();
    printf("done\n");
    return 0;
}

int Stretches(int argc, wchar_t **argv, Out_Module *out) {
    int count = _wtoi(argv[4]), everyMs = argc > 6 ? _wtoi(argv[6]) : 0;
    if (argc != 7 || count <= 0 || everyMs <= 0)
        return 2;
    std::vector<char> file;
    if (!ReadWholeFile(_wfopen(argv[5], L"rb"), &file) || file.size() % StretchFrameBytes) {
        printf("error cannot read the 16-bit stereo file\n");
        return 1;
    }
    return PlayStretches(out, file, count, everyMs, wcscmp(argv[3], L"tracks") == 0);
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    QueryPerformanceFrequency(&CounterFrequency);
    if (argc < 5 || wcscmp(argv[1], L"--plugin") != 0) {
        fprintf(stderr, "usage: tvbench --plugin DLL open|flush COUNT\n"
                        "       tvbench --plugin DLL play SECONDS RATE CHANNELS BITS\n"
                        "       tvbench --plugin DLL seeks|tracks COUNT FILE EVERY_MS\n");
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
    else if (wcscmp(argv[3], L"seeks") == 0 || wcscmp(argv[3], L"tracks") == 0)
        result = Stretches(argc, argv, out);
    if (result == 2)
        fprintf(stderr, "usage: tvbench --plugin DLL seeks|tracks COUNT FILE EVERY_MS\n");
    out->Quit();
    return result;
}
