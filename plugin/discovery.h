// Finding services on the local network: one-shot multicast DNS queries for
// _tonvale._tcp on every link, which responders answer by unicast, for about
// three seconds, on a thread of its own so that the dialog stays responsive.
// It only reports what it finds; nothing is changed by it.
#pragma once

#include <stdint.h>
#include <windows.h>

struct FoundService {
    wchar_t Name[64]; // the instance name
    char Host[256];   // the host it names, dotted
    char Address[16]; // its IPv4 address, dotted; empty until known
    uint16_t Port;
};

enum : DWORD { DISCOVERY_MS = 3000, DISCOVERY_ROUND_MS = 1000 };

// Starts a search. Each service found, and each one completed later (its
// address), is posted to `window` as `message` with a FoundService made
// with new in lParam, which the receiver deletes; the end of the search is
// `message` with lParam 0. False when a search is running or cannot start.
bool StartDiscovery(HWND window, UINT message);
// Ends a running search at once and waits for its thread, then deletes what
// it posted that was not taken. Call on the window's thread, before the
// window is destroyed.
void StopDiscovery();
