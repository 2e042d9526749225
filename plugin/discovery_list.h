// The configuration dialog's list of services found on the local network:
// the Find button starts a search, each service found becomes a row, and
// choosing a row fills the address and port fields. Nothing is stored until
// the dialog's OK, as with typed values.
#pragma once

#include <windows.h>

// Posted by the search to the dialog (discovery.h).
enum : UINT { WM_FOUND_SERVICE = WM_APP + 1 };

void SetUpFoundList(HWND dialog);
void FindServices(HWND dialog);
// WM_FOUND_SERVICE: a service found (lParam) or the end of the search (0).
void ShowFoundService(HWND dialog, LPARAM found);
// WM_NOTIFY from the list.
void NoteListChange(HWND dialog, const NMHDR *notice);
// WM_DESTROY: ends a search still running.
void EndFinding();
