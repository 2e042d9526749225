// The control thread of one file, as the player's user interface runs it:
// shows position, duration and buffered time on one console line every 75 ms,
// and carries out the timed volume, pan, pause and seek requests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "host/command_line.h"
#include "host/decoder.h"

struct ControlContext {
    PlaybackSession *Session = nullptr;
    const std::vector<TimedRequest> *Requests = nullptr;
    std::string Name; // shown on the progress line
    int LengthMs = 0;
    DWORD StartTick = 0; // requests count from here
};

// Runs until the session's decoder has finished; the caller closes the handle.
HANDLE StartControl(ControlContext *context);
