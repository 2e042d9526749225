// The kept bytes of a stream (stream layer): a copy of every byte written
// and not yet reported played, so that a service that is back after a lost
// link can get them again. At most the buffer plus one Write.
#pragma once

#include <windows.h>

#include <string>

// Nothing kept; the next byte kept is at stream position `from`.
void ClearKept(LONG64 from);
// Write: appends a copy of the bytes.
void KeepBytes(const char *bytes, int length);
// The reader, for each CMD_PLAYED of the stream's connection: frees from the
// front.
void ReleaseKept(LONG64 bytes);
// The position of the first kept byte.
LONG64 KeptFront();
// Copies up to `chunk` kept bytes from stream position `*next` (moved up to
// the front if the front has passed it) into `part` and advances `*next`.
// Returns how many were copied; 0 once the end is reached.
size_t CopyKept(LONG64 *next, size_t chunk, std::string *part);
