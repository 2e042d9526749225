// The configuration dialog (resource 101) and the Config operation that
// shows it and rebuilds the link after OK.
#pragma once

#include <windows.h>

enum { MIN_BUFF_SIZE = 200, MAX_BUFF_SIZE = 20000, BUFF_TICK_STEP = 1000 };

INT_PTR CALLBACK ConfigDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void __cdecl Config(HWND parent);
