// The host's console output: whole lines and one progress line rewritten in
// place with a carriage return, serialised across threads.
#include "host/console.h"

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

CRITICAL_SECTION ConsoleLock;
INIT_ONCE LockOnce = INIT_ONCE_STATIC_INIT;
int ProgressWidth; // characters of the progress line now shown, 0 if none

BOOL CALLBACK InitLock(PINIT_ONCE, PVOID, PVOID *) {
    InitializeCriticalSection(&ConsoleLock);
    return TRUE;
}

void Lock() {
    InitOnceExecuteOnce(&LockOnce, InitLock, nullptr, nullptr);
    EnterCriticalSection(&ConsoleLock);
}

void Unlock() { LeaveCriticalSection(&ConsoleLock); }

void EndProgressLine() {
    if (ProgressWidth > 0) {
        fputc('\n', stdout);
        ProgressWidth = 0;
    }
}

} // namespace

void PrintLine(const char *format, ...) {
    Lock();
    EndProgressLine();
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
    fputc('\n', stdout);
    fflush(stdout);
    Unlock();
}

void PrintProgress(const char *format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    int width = (int)strlen(text);
    Lock();
    // Pad with blanks so a shorter line leaves nothing of the longer one.
    fprintf(stdout, "\r%s%*s", text, ProgressWidth > width ? ProgressWidth - width : 0, "");
    fflush(stdout);
    ProgressWidth = width > ProgressWidth ? width : ProgressWidth;
    if (ProgressWidth == 0)
        ProgressWidth = 1;
    Unlock();
}

void PrintError(const char *format, ...) {
    Lock();
    EndProgressLine();
    fflush(stdout);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    fflush(stderr);
    Unlock();
}

const char *FormatTime(int ms, char *buffer, int size) {
    const char *sign = ms < 0 ? "-" : "";
    unsigned magnitude = ms < 0 ? 0u - (unsigned)ms : (unsigned)ms;
    snprintf(buffer, size, "%s%u:%02u.%03u", sign, magnitude / 60000, magnitude / 1000 % 60,
             magnitude % 1000);
    return buffer;
}
