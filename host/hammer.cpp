// The hammer thread: one round is a volume, a balance, a pause and a resume
// (in every round, or in as many as a bound allows) and a position query,
// with volume and balance kept audible so that the stream can still be heard.
// Each pause is flagged to the decoder exactly as the control thread flags
// its own.
#include "host/hammer.h"

#include <stdint.h>

#include "host/box_dismiss.h"

namespace {

struct HammerContext {
    PlaybackSession *Session;
    int LengthMs;
    int RoundsPerSecond;
    int PausesPerSecond;
    int Volume;
    int Pan;
    HammerFigures *Figures;
};

void PauseAndResume(PlaybackSession *session) {
    session->HostPaused = true;
    session->Out->Pause(1);
    session->Out->Pause(0);
    session->PauseChanges++;
    session->HostPaused = false;
}

// Rounds that run back to back, so that the two threads race for the link.
const unsigned BurstRounds = 25;

// Before each burst, waits until the whole burst keeps within the rate.
void WaitForBurst(const HammerContext &context, unsigned rounds, DWORD start) {
    if (context.RoundsPerSecond <= 0 || rounds % BurstRounds != 0)
        return;
    const uint64_t burstEnd = rounds + BurstRounds;
    while (!context.Session->Finished &&
           (uint64_t)(GetTickCount() - start) * context.RoundsPerSecond / 1000 < burstEnd)
        Sleep(1);
}

// Whether this round pauses and resumes: all of them without a bound,
// otherwise as many as keep the average within it.
bool PausesNow(const HammerContext &context, unsigned pauses, DWORD start) {
    return context.PausesPerSecond <= 0 ||
           pauses < (uint64_t)(GetTickCount() - start) * context.PausesPerSecond / 1000 + 1;
}

void Hammer(const HammerContext &context) {
    PlaybackSession *session = context.Session;
    HammerFigures *figures = context.Figures;
    Out_Module *out = session->Out;
    int lastMs = out->GetOutputTime();
    DWORD start = GetTickCount();
    while (!session->Finished && GetTickCount() - start < (DWORD)context.LengthMs) {
        unsigned round = figures->Rounds;
        WaitForBurst(context, round, start);
        out->SetVolume(128 + (int)(round % 128));
        out->SetPan((int)(round % 129) - 64);
        if (PausesNow(context, figures->Pauses, start)) {
            PauseAndResume(session);
            figures->Pauses++;
        }
        int ms = out->GetOutputTime();
        if (ms < lastMs)
            figures->TimeWentBack++;
        lastMs = ms;
        figures->Rounds++;
    }
    out->SetVolume(context.Volume);
    out->SetPan(context.Pan);
}

DWORD WINAPI HammerThread(LPVOID parameter) {
    HammerContext *context = (HammerContext *)parameter;
    InstallBoxDismisser();
    Hammer(*context);
    RemoveBoxDismisser();
    delete context;
    return 0;
}

} // namespace

HANDLE StartHammer(PlaybackSession *session, int lengthMs, int roundsPerSecond,
                   int pausesPerSecond, int volume, int pan, HammerFigures *figures) {
    HammerContext *context = new HammerContext{
        session, lengthMs, roundsPerSecond, pausesPerSecond, volume, pan, figures};
    HANDLE thread = CreateThread(nullptr, 0, HammerThread, context, 0, nullptr);
    if (!thread)
        delete context;
    return thread;
}
