// The settings file beside the DLL: its path, and reading and writing the
// server address, port and buffer size in section COMMON.
#pragma once

#include <stddef.h>

enum { DEFAULT_SERVER_PORT = 4554, DEFAULT_BUFF_SIZE = 2000 };

// Turns a module file name into its settings path in place: the text after
// the last '.' becomes "ini". A path with no '.' gets ".ini" appended when
// it fits; nothing is ever written past `capacity`.
void MakeSettingsPath(char *path, size_t capacity);
void ComputeSettingsPath();
void ReadSettings();
void WriteSettings();
