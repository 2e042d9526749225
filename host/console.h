// The host's console output. The decoder, the control thread and the message
// box hook all print; one lock keeps their lines whole, and every write is
// flushed because the C runtime buffers a pipe until exit.
#pragma once

// A whole line, ending any progress line that is being shown.
void PrintLine(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Replaces the one progress line in place.
void PrintProgress(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Errors go to standard error, also as whole lines.
void PrintError(const char *format, ...) __attribute__((format(printf, 1, 2)));
// "m:ss.mmm" for a time in milliseconds.
const char *FormatTime(int ms, char *buffer, int size);
