// The service's log: standard output in debug mode, or a time-stamped file
// beside the executable when the service runs under the service manager.
#pragma once

#include <stdio.h>

struct CLogFile {
    int ConsoleMode = 1;
    FILE *LogStream = nullptr;

    // File mode only: opens <exe path up to its last '.'>log for appending.
    void OpenFile();
    // Every message carries its own line end. Safe to call with no stream open:
    // the message is then dropped.
    void WriteMessage(const wchar_t *message);
};

// The executable's full path cut right after its last '.' (or, for a path
// without one, the whole path followed by a '.'), ready for "ini" or "log".
void ModuleBasePathOf(wchar_t *out, size_t capacity);
