// The stream that survives a lost link (stream layer): the events the stream
// takes from its connections, the silence rule, and the resume thread that
// sends the stream's format, volume, pause and kept bytes again to a service
// that is back.
//
// Threads:
// - Reader threads run StreamEvents. They take no StreamLock and never block
//   on a host thread: the reader must go on reading while a host thread holds
//   StreamLock in a send.
// - The resume thread (one at a time, started by StreamLinkLost) ends the
//   lost connection, then connects a private one with back-off until the
//   window ends or StopResume stops it, and sends CMD_OPEN on it. Only then
//   does it take StreamLock, take the connection over and replay, so no
//   player operation can send on it before the replay. It never shows a box:
//   a stream that could not be put back is reported by the host's next Write.
#pragma once

#include <windows.h>
#include <string.h>

#include "plugin/server_link.h"

// How long the reconnect keeps trying, and how long a link may stay silent
// with bytes pending before it counts as lost. The record lives in a section
// of its own (".tvhook", behind a marker) so that tests can shorten both in a
// loaded DLL; users have no setting for them. When both hook events are set,
// a Write about to send on a linked stream sets the first and waits for the
// second: tests hold it there while the link is lost and put back.
struct ResumeTimings {
    DWORD Marker;
    DWORD WindowMs;
    DWORD SilenceMs;
    HANDLE WriteAtSend;
    HANDLE WriteMaySend;
};
enum : DWORD {
    RESUME_TIMINGS_MARKER = 0x53525654,  // "TVRS"
    RESUME_WINDOW_MS = 30000,
    SILENT_LINK_MS = 15000,
};
extern ResumeTimings ResumeTiming;
void HoldWriteAtSend();

// What the stream's connections report; see the layer's header.
extern const LinkEvents StreamEvents;

// The link of a linked stream is lost: the position holds and the resume
// thread starts. Any thread; only the first report of one loss counts, and
// only for the stream's own connection.
void StreamLinkLost(LinkChannel *link);
// Close, Open and Quit, never under StreamLock: the stream is NONE and the
// resume thread has ended. Returns the state that the stream was in.
int StopResume();
// The silence watch starts afresh (open, pause and resume, flush, a report).
void RestartSilenceWatch();

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
