// The stream that survives a lost link: a copy of every byte written but not
// yet reported played, and the background reconnect that sends the stream's
// format, volume, pause and those bytes again to a service that is back.
//
// Threads:
// - The host's threads call the stream operations. Each takes the stream lock
//   (EnterStream) for its decision and its sends, so that it never meets the
//   resume thread half way through putting a stream back.
// - The reply reader calls ReleaseKept for every CMD_PLAYED, StreamLinkSilent
//   while it waits, and StreamLinkLost when its connection ends. None of them
//   takes the stream lock or blocks: the reader must go on reading while a
//   host thread holds the lock in a send.
// - The resume thread (one at a time, started by StreamLinkLost) connects with
//   back-off until the window ends or StreamClosed stops it. It takes the
//   stream lock only once the service has answered CMD_OPEN, for the sends
//   that put the stream back. It never shows a box: a stream that could not
//   be put back is reported by the host's next Write, on the host's thread.
#pragma once

#include <windows.h>
#include <string.h>

enum StreamLinkState {
    STREAM_NONE,          // no stream, or one that is not carried over a lost link
    STREAM_LINKED,        // the stream's bytes go to the service as written
    STREAM_RECONNECTING,  // the link was lost; bytes are kept for the service's return
    STREAM_GIVEN_UP,      // the window ended with no service; the next Write says so
    STREAM_DROPPING,      // said: the rest of the stream is taken and dropped
};

// The window ended with no service, whether or not the player has been told.
inline bool StreamGivenUp(int state) {
    return state == STREAM_GIVEN_UP || state == STREAM_DROPPING;
}

// How long the reconnect keeps trying, and how long a link may stay silent
// with bytes pending before it counts as lost. The record lives in a section
// of its own (".tvhook", behind a marker) so that tests can shorten both in a
// loaded DLL; users have no setting for them.
struct ResumeTimings {
    DWORD Marker;
    DWORD WindowMs;
    DWORD SilenceMs;
};
enum : DWORD {
    RESUME_TIMINGS_MARKER = 0x53525654,  // "TVRS"
    RESUME_WINDOW_MS = 30000,
    SILENT_LINK_MS = 15000,
};
extern ResumeTimings ResumeTiming;

void EnterStream();
void LeaveStream();
int StreamState();

// Open, after the service has answered: nothing kept, bytes go out as written.
void StreamOpened();
// Close, Open and Quit: ends a reconnect at once (its connection dropped), drops
// the kept bytes and returns the state that the stream was in.
int StreamClosed();

// Write: keeps a copy of the bytes until the service reports them played.
void KeepBytes(const char *bytes, int length);
// The reader, for each CMD_PLAYED of the current connection.
void ReleaseKept(LONG64 bytes);
// Flush: nothing is kept, and the next byte written is at `position`.
void RestartKeptAt(LONG64 position);

// The link of a linked stream is lost: the position holds and the resume
// thread starts. Any thread; only the first report of one loss counts.
void StreamLinkLost();
// The reader's watch: true when the link has carried no CMD_PLAYED for
// SilenceMs (or BuffSize and a second, if longer) while bytes were pending and
// the stream was not paused.
bool StreamLinkSilent();
// Pause and resume start the watch afresh.
void RestartSilenceWatch();
// The window ended (GIVEN_UP): true for the one caller that is to report it,
// after which the rest of the stream is dropped.
bool TakeGivenUpReport();
// A failure that is reported now (a Flush whose reply never came): the rest
// of the stream is dropped.
void DropRestOfStream();

// The timings record of a loaded copy of the DLL, for tests; null if absent.
inline ResumeTimings *FindResumeTimings(HMODULE module) {
    if (!module) return nullptr;
    BYTE *base = reinterpret_cast<BYTE *>(module);
    IMAGE_DOS_HEADER *dos = reinterpret_cast<IMAGE_DOS_HEADER *>(base);
    IMAGE_NT_HEADERS *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    IMAGE_SECTION_HEADER *section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        if (memcmp(section->Name, ".tvhook", 8) != 0) continue;
        ResumeTimings *timings = reinterpret_cast<ResumeTimings *>(base + section->VirtualAddress);
        return timings->Marker == RESUME_TIMINGS_MARKER ? timings : nullptr;
    }
    return nullptr;
}
