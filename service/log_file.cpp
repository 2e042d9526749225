// CLogFile: console or file log of the service, one flushed line per event.
#include "log_file.h"

#include <windows.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static const char LINE_FORMAT[] = "<%02d.%02d.%d %02d:%02d:%02d> %s";

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

static void OpenLogStream(CLogFile *log) {
    log->LogStream = _wfopen(log->Path, L"a+t");
    if (!log->LogStream)
        log->LogStream = _wfopen(log->Path, L"wt");
    long long length = log->LogStream ? _filelengthi64(_fileno(log->LogStream)) : 0;
    log->FileBytes = length > 0 ? length : 0;
}

// The full file becomes <log>.old. When it cannot be moved aside (another
// program holds one of the two files) it is emptied instead: the bound on the
// disk space matters more than the old lines.
static void StartNewLogFile(CLogFile *log) {
    fclose(log->LogStream);
    log->LogStream = nullptr;
    wchar_t oldPath[MAX_PATH + 12];
    _snwprintf(oldPath, MAX_PATH + 12, L"%ls.old", log->Path);
    oldPath[MAX_PATH + 11] = 0;
    if (MoveFileExW(log->Path, oldPath, MOVEFILE_REPLACE_EXISTING)) {
        OpenLogStream(log);
    } else {
        log->LogStream = _wfopen(log->Path, L"wt");
        log->FileBytes = 0;
    }
}

// What a formatted line of `length` characters, `text` being its message,
// takes in the file: the text stream writes each line feed of the message as
// a carriage return and a line feed.
static long long FileBytesOf(const char *text, int length) {
    long long bytes = length;
    for (const char *feed = strchr(text, '\n'); feed; feed = strchr(feed + 1, '\n'))
        bytes++;
    return bytes;
}

void CLogFile::OpenFile() {
    ModuleBasePathOf(Path, MAX_PATH + 4);
    wcscat(Path, L"log");
    OpenLogStream(this);
}

void CLogFile::WriteMessage(const wchar_t *message) {
    size_t length = wcslen(message);
    char *text = static_cast<char *>(malloc(length + 1));
    if (!text)
        return;
    CharToOemW(message, text);
    if (ConsoleMode) {
        // A redirected stdout is fully buffered; each line goes out at once,
        // so a watcher sees it and no way of ending the process loses it.
        fputs(text, stdout);
        fflush(stdout);
    } else if (LogStream) {
        SYSTEMTIME now;
        GetSystemTime(&now);
        int length = snprintf(nullptr, 0, LINE_FORMAT, now.wDay, now.wMonth, now.wYear,
                              now.wHour, now.wMinute, now.wSecond, text);
        long long lineBytes = FileBytesOf(text, length);
        if (Path[0] && FileBytes > 0 && FileBytes + lineBytes > LOG_FILE_MAX_BYTES)
            StartNewLogFile(this);
        if (LogStream) {
            fprintf(LogStream, LINE_FORMAT, now.wDay, now.wMonth, now.wYear, now.wHour,
                    now.wMinute, now.wSecond, text);
            fflush(LogStream);
            FileBytes += lineBytes;
        }
    }
    free(text);
}
