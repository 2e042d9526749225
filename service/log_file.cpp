// CLogFile: console or file log of the service, one flushed line per event.
#include "log_file.h"

#include <windows.h>
#include <stdlib.h>
#include <wchar.h>

void ModuleBasePathOf(wchar_t *out, size_t capacity) {
    wchar_t path[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t *dot = wcsrchr(path, L'.');
    wchar_t *slash = wcsrchr(path, L'\\');
    if (dot && (!slash || dot > slash)) {
        dot[1] = 0;
        lstrcpynW(out, path, static_cast<int>(capacity));
    } else {
        // No extension: the names become "<path>.ini" and "<path>.log".
        _snwprintf(out, capacity, L"%ls.", path);
        out[capacity - 1] = 0;
    }
}

void CLogFile::OpenFile() {
    wchar_t path[MAX_PATH + 8];
    ModuleBasePathOf(path, MAX_PATH + 4);
    wcscat(path, L"log");
    LogStream = _wfopen(path, L"a+t");
    if (!LogStream)
        LogStream = _wfopen(path, L"wt");
}

void CLogFile::WriteMessage(const wchar_t *message) {
    size_t length = wcslen(message);
    char *text = static_cast<char *>(malloc(length + 1));
    if (!text)
        return;
    CharToOemW(message, text);
    if (ConsoleMode) {
        fputs(text, stdout);
    } else if (LogStream) {
        SYSTEMTIME now;
        GetSystemTime(&now);
        fprintf(LogStream, "<%02d.%02d.%d %02d:%02d:%02d> %s", now.wDay, now.wMonth, now.wYear,
                now.wHour, now.wMinute, now.wSecond, text);
        fflush(LogStream);
    }
    free(text);
}
