// The service's log: standard output in debug mode, or a time-stamped file
// beside the executable when the service runs under the service manager.
#pragma once

#include <windows.h>
#include <stdio.h>
#include <wchar.h>

// The log file never grows past this: a line that would cross it first turns
// the file into "<log>.old" (replacing an older one) and starts a new one, so
// a peer that provokes a line per frame cannot fill the disk.
enum : long long { LOG_FILE_MAX_BYTES = 4 * 1024 * 1024 };

struct CLogFile {
    int ConsoleMode = 1;
    FILE *LogStream = nullptr;
    // Set by OpenFile; a stream opened some other way is never rotated.
    wchar_t Path[MAX_PATH + 8] = {};
    long long FileBytes = 0;

    // File mode only: opens <exe path up to its last '.'>log for appending.
    void OpenFile();
    // Every message carries its own line end. Safe to call with no stream open:
    // the message is then dropped.
    void WriteMessage(const wchar_t *message);
};

// The executable's full path cut right after its last '.' (or, for a path
// without one, the whole path followed by a '.'), ready for "ini" or "log".
void ModuleBasePathOf(wchar_t *out, size_t capacity);
