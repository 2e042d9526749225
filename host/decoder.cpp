// The decoder thread: writes the file through the output plug-in at the pace
// CanWrite allows, seeks on request, and waits for the output to drain.
#include "host/decoder.h"

#include "host/box_dismiss.h"
#include "host/console.h"

namespace {

const DWORD FullSleepMs = 20;  // when CanWrite offers no room for a block
const DWORD DrainPollMs = 10;  // while the output plays the rest
// An output that neither takes data nor plays any for this long has lost its
// service; the player would wait forever, the host gives up. The Tonvale
// plug-in holds a stream for up to 30 s while it puts it back over a new
// link, so the limit is longer than that.
const DWORD StallLimitMs = 40000;

// Carries out a pending seek: Flush to the time, then go on from its frame.
void SeekIfAsked(PlaybackSession *session, uint32_t *nextFrame) {
    int ms = session->SeekMs.exchange(-1);
    if (ms < 0)
        return;
    const WavFile &wav = *session->Wav;
    int lengthMs = WavLengthMs(wav);
    if (ms > lengthMs)
        ms = lengthMs;
    uint64_t frame = (uint64_t)ms * wav.SampleRate / 1000;
    *nextFrame = frame < wav.Frames ? (uint32_t)frame : wav.Frames;
    int before = session->Out->GetOutputTime();
    session->Out->Flush(ms);
    char from[32], to[32];
    PrintLine("seek from %s to %s (frame %u)", FormatTime(before, from, sizeof from),
              FormatTime(ms, to, sizeof to), *nextFrame);
}

// Tracks whether the output still moves: a block taken or time played.
struct StallWatch {
    DWORD Since = GetTickCount();
    int LastOutputMs = -1;

    void Moved() { Since = GetTickCount(); }
    bool Stalled(PlaybackSession *session) {
        int now = session->Out->GetOutputTime();
        if (now != LastOutputMs || session->HostPaused) {
            LastOutputMs = now;
            Moved();
        }
        return GetTickCount() - Since > StallLimitMs;
    }
};

// The end of the stream: nothing left to play and no pause of the host's
// during the look, since a paused output answers IsPlaying with 0 too.
bool OutputDrained(PlaybackSession *session) {
    unsigned changes = session->PauseChanges;
    if (session->HostPaused || session->Out->IsPlaying() || session->HostPaused)
        return false;
    return session->PauseChanges == changes;
}

void Fail(PlaybackSession *session, const char *why) {
    session->Failed = true;
    session->Failure = why;
}

void Decode(PlaybackSession *session) {
    Out_Module *out = session->Out;
    WavFile *wav = session->Wav;
    const int blockFrames = BlockFrames(wav->BlockAlign);
    static char block[MaxWriteBytes];
    uint32_t nextFrame = 0;
    StallWatch watch;
    while (!*session->StopRequested) {
        SeekIfAsked(session, &nextFrame);
        if (nextFrame < wav->Frames) {
            uint32_t frames = wav->Frames - nextFrame;
            if (frames > (uint32_t)blockFrames)
                frames = blockFrames;
            int bytes = (int)frames * wav->BlockAlign;
            if (out->CanWrite() >= bytes) {
                uint32_t got = ReadFrames(wav, nextFrame, block, frames);
                if (got == 0) {
                    Fail(session, "the file cannot be read any further");
                    break;
                }
                out->Write(block, (int)got * wav->BlockAlign);
                nextFrame += got;
                watch.Moved();
                continue;
            }
            if (watch.Stalled(session)) {
                Fail(session, "the output plug-in takes no more data and plays none");
                break;
            }
            Sleep(FullSleepMs);
            continue;
        }
        // The end of the file: the player asks CanWrite, then waits for the
        // output to finish. While the host holds a pause IsPlaying answers 0,
        // which is not the end.
        out->CanWrite();
        if (OutputDrained(session))
            break;
        if (watch.Stalled(session)) {
            Fail(session, "the output plug-in stopped playing before the end");
            break;
        }
        Sleep(DrainPollMs);
    }
    session->FinalOutputMs = out->GetOutputTime();
}

DWORD WINAPI DecoderThread(LPVOID parameter) {
    PlaybackSession *session = (PlaybackSession *)parameter;
    InstallBoxDismisser();
    Decode(session);
    RemoveBoxDismisser();
    session->Finished = true;
    return 0;
}

} // namespace

int BlockFrames(int blockAlign) {
    int frames = MaxWriteBytes / blockAlign;
    return frames < FramesPerBlock ? frames : FramesPerBlock;
}

HANDLE StartDecoder(PlaybackSession *session) {
    return CreateThread(nullptr, 0, DecoderThread, session, 0, nullptr);
}
