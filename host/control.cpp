// The control thread: polls the output's times for the progress line and
// carries out the requests given on the command line when they fall due.
#include "host/control.h"

#include "host/box_dismiss.h"
#include "host/console.h"

namespace {

const DWORD PollMs = 75;

void ShowProgress(const ControlContext &context) {
    Out_Module *out = context.Session->Out;
    int played = out->GetOutputTime();
    int written = out->GetWrittenTime();
    char position[32], length[32];
    PrintProgress("%s  %s / %s  buffered %d ms%s", context.Name.c_str(),
                  FormatTime(played, position, sizeof position),
                  FormatTime(context.LengthMs, length, sizeof length), written - played,
                  context.Session->HostPaused ? "  (paused)" : "");
}

// Prints what was done with the output position at that moment, in a form
// both people and tests can read.
void Report(Out_Module *out, const char *what, int value) {
    int ms = out->GetOutputTime();
    char position[32];
    PrintLine("%s %d at %s (%d ms)", what, value, FormatTime(ms, position, sizeof position), ms);
}

void CarryOut(const TimedRequest &request, PlaybackSession *session) {
    Out_Module *out = session->Out;
    switch (request.Kind) {
    case RequestVolume:
        out->SetVolume(request.Value);
        Report(out, "volume", request.Value);
        break;
    case RequestPan:
        out->SetPan(request.Value);
        Report(out, "pan", request.Value);
        break;
    case RequestPause:
        // Flagged first: the decoder must not take the paused output's
        // IsPlaying of 0 for the end of the stream.
        session->HostPaused = true;
        out->Pause(1);
        Report(out, "paused for", request.Value);
        break;
    case RequestResume:
        out->Pause(0);
        session->PauseChanges++;
        session->HostPaused = false;
        Report(out, "resumed", 0);
        break;
    case RequestSeek:
        Report(out, "seek requested to", request.Value);
        session->SeekMs = request.Value;
        break;
    }
}

void Control(ControlContext *context) {
    PlaybackSession *session = context->Session;
    const std::vector<TimedRequest> &requests = *context->Requests;
    size_t next = 0;
    while (!session->Finished) {
        DWORD elapsed = GetTickCount() - context->StartTick;
        while (next < requests.size() && (DWORD)requests[next].AtMs <= elapsed)
            CarryOut(requests[next++], session);
        ShowProgress(*context);
        Sleep(PollMs);
    }
    // A pause still held when the stream was stopped is not left behind.
    if (session->HostPaused) {
        session->Out->Pause(0);
        session->HostPaused = false;
    }
    ShowProgress(*context);
}

DWORD WINAPI ControlThread(LPVOID parameter) {
    InstallBoxDismisser();
    Control((ControlContext *)parameter);
    RemoveBoxDismisser();
    return 0;
}

} // namespace

HANDLE StartControl(ControlContext *context) {
    return CreateThread(nullptr, 0, ControlThread, context, 0, nullptr);
}
