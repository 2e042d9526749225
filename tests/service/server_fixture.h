// A stream server under test: CTonvale running in this process on a thread of
// its own, or a copy of the real Tonvaled.exe run with /debug.
#pragma once

#include "service/tonvale.h"
#include "support/test_support.h"

#include <string>

enum class ServerKind { InProcess, Daemon };

struct ServerUnderTest {
    ServerKind Kind = ServerKind::InProcess;
    uint16_t Port = 0;
    CTonvale *App = nullptr;
    HANDLE RunThread = nullptr;
    std::wstring LogPath;
    DaemonCopy Daemon;

    bool Start(ServerKind kind);
    // Ends the server: Stop for CTonvale (waiting for Run to return), the
    // process for the daemon.
    void Finish();
    // In-process only: what the server logged so far, with plain line feeds.
    std::string LogText() const;
};
