// Forwards each operation of the plug-in's record and keeps, per operation,
// the number of calls and the longest one. Every host thread calls through
// here at once, so the figures are atomics.
#include "host/call_timer.h"

#include <atomic>

#include "host/console.h"

namespace {

enum Operation {
    OpConfig, OpAbout, OpInit, OpQuit, OpOpen, OpClose, OpWrite, OpCanWrite, OpIsPlaying,
    OpPause, OpSetVolume, OpSetPan, OpFlush, OpGetOutputTime, OpGetWrittenTime, OpCount
};

const char *const OperationNames[OpCount] = {
    "Config", "About", "Init", "Quit", "Open", "Close", "Write", "CanWrite", "IsPlaying",
    "Pause", "SetVolume", "SetPan", "Flush", "GetOutputTime", "GetWrittenTime"};

struct CallFigures {
    std::atomic<unsigned> Calls{0};
    std::atomic<unsigned> LongestMs{0};
};

Out_Module *Real = nullptr;
Out_Module Timed;
int ReportMs = -1;
CallFigures Figures[OpCount];
DWORD FirstTick;

// Measures one call from its start to its return.
class CallClock {
  public:
    explicit CallClock(Operation operation) : Op(operation), Start(GetTickCount()) {}
    ~CallClock() {
        unsigned took = GetTickCount() - Start;
        CallFigures &figures = Figures[Op];
        figures.Calls++;
        unsigned longest = figures.LongestMs;
        while (took > longest && !figures.LongestMs.compare_exchange_weak(longest, took)) {
        }
        if (ReportMs >= 0 && took >= (unsigned)ReportMs)
            PrintLine("call %s took %u ms, from %lu ms", OperationNames[Op], took,
                      (unsigned long)(Start - FirstTick));
    }

  private:
    Operation Op;
    DWORD Start;
};

void __cdecl TimedConfig(HWND parent) {
    CallClock clock(OpConfig);
    Real->Config(parent);
}
void __cdecl TimedAbout(HWND parent) {
    CallClock clock(OpAbout);
    Real->About(parent);
}
void __cdecl TimedInit() {
    CallClock clock(OpInit);
    Real->Init();
}
void __cdecl TimedQuit() {
    CallClock clock(OpQuit);
    Real->Quit();
}
int __cdecl TimedOpen(int sampleRate, int numChannels, int bitsPerSample, int bufferLenMs,
                      int preBufferMs) {
    CallClock clock(OpOpen);
    return Real->Open(sampleRate, numChannels, bitsPerSample, bufferLenMs, preBufferMs);
}
void __cdecl TimedClose() {
    CallClock clock(OpClose);
    Real->Close();
}
int __cdecl TimedWrite(char *buffer, int length) {
    CallClock clock(OpWrite);
    return Real->Write(buffer, length);
}
int __cdecl TimedCanWrite() {
    CallClock clock(OpCanWrite);
    return Real->CanWrite();
}
int __cdecl TimedIsPlaying() {
    CallClock clock(OpIsPlaying);
    return Real->IsPlaying();
}
int __cdecl TimedPause(int pause) {
    CallClock clock(OpPause);
    return Real->Pause(pause);
}
void __cdecl TimedSetVolume(int volume) {
    CallClock clock(OpSetVolume);
    Real->SetVolume(volume);
}
void __cdecl TimedSetPan(int pan) {
    CallClock clock(OpSetPan);
    Real->SetPan(pan);
}
void __cdecl TimedFlush(int positionMs) {
    CallClock clock(OpFlush);
    Real->Flush(positionMs);
}
int __cdecl TimedGetOutputTime() {
    CallClock clock(OpGetOutputTime);
    return Real->GetOutputTime();
}
int __cdecl TimedGetWrittenTime() {
    CallClock clock(OpGetWrittenTime);
    return Real->GetWrittenTime();
}

} // namespace

Out_Module *TimedModule(Out_Module *real, int reportMs) {
    Real = real;
    ReportMs = reportMs;
    FirstTick = GetTickCount();
    Timed = *real;
    Timed.Config = TimedConfig;
    Timed.About = TimedAbout;
    Timed.Init = TimedInit;
    Timed.Quit = TimedQuit;
    Timed.Open = TimedOpen;
    Timed.Close = TimedClose;
    Timed.Write = TimedWrite;
    Timed.CanWrite = TimedCanWrite;
    Timed.IsPlaying = TimedIsPlaying;
    Timed.Pause = TimedPause;
    Timed.SetVolume = TimedSetVolume;
    Timed.SetPan = TimedSetPan;
    Timed.Flush = TimedFlush;
    Timed.GetOutputTime = TimedGetOutputTime;
    Timed.GetWrittenTime = TimedGetWrittenTime;
    return &Timed;
}

void PrintCallTimes() {
    for (int op = 0; op < OpCount; op++) {
        if (Figures[op].Calls == 0)
            continue;
        PrintLine("longest %s %u ms of %u calls", OperationNames[op],
                  (unsigned)Figures[op].LongestMs, (unsigned)Figures[op].Calls);
    }
}
