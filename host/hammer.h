// A second caller for one open stream: while the decoder streams, it calls
// SetVolume, SetPan, Pause(1), Pause(0) and GetOutputTime as fast as it can,
// as a busy player's user interface might, to try the plug-in's threads.
// Given a rate, it runs its rounds back to back in bursts and waits between
// them so that the average stays at that rate: every control is a frame the
// service carries out in order, before the audio queued behind it, so an
// unbounded flood piles up in the socket buffers ahead of the audio.
#pragma once

#include <windows.h>

#include "host/decoder.h"

struct HammerFigures {
    unsigned Rounds = 0;
    unsigned Pauses = 0; // rounds that paused and resumed
    // GetOutputTime answers smaller than one before them; a stream that is
    // not sought never goes back.
    unsigned TimeWentBack = 0;
};

// Runs for lengthMs, or until the session's decoder has finished, then sets
// the player's own volume and balance again; the caller closes the handle
// and may read *figures once the thread has ended.
// roundsPerSecond 0 means no bound; pausesPerSecond 0 means a pause and
// resume in every round.
HANDLE StartHammer(PlaybackSession *session, int lengthMs, int roundsPerSecond,
                   int pausesPerSecond, int volume, int pan, HammerFigures *figures);
