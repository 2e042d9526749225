// Starting and ending a stream server under test.
#include "server_fixture.h"

static DWORD WINAPI RunServer(void *app) {
    static_cast<CTonvale *>(app)->Run();
    return 0;
}

bool ServerUnderTest::Start(ServerKind kind) {
    Kind = kind;
    if (kind == ServerKind::Daemon) {
        Daemon = MakeDaemonCopy(nullptr);
        bool started = StartDebugDaemon(&Daemon);
        Port = Daemon.Port;
        return started;
    }
    App = new CTonvale;
    LogPath = MakeTempFolder(L"serverlog") + L"\\server.log";
    App->Log = new CLogFile;
    App->Log->ConsoleMode = 0;
    App->Log->LogStream = _wfopen(LogPath.c_str(), L"wt");
    if (App->Init() != 0)
        return false;
    Port = App->ListenPort = FreePort();
    RunThread = CreateThread(nullptr, 0, RunServer, App, 0, nullptr);
    return WaitForPort(Port, 5000);
}

void ServerUnderTest::Finish() {
    if (Kind == ServerKind::Daemon) {
        DeleteDaemonCopy(&Daemon);
        return;
    }
    if (!App)
        return;
    App->Stop();
    WaitForSingleObject(RunThread, 10000);
    CloseHandle(RunThread);
    delete App;
    App = nullptr;
}

std::string ServerUnderTest::LogText() const {
    std::string text = ReadFileBytes(LogPath), lines;
    for (char c : text)
        if (c != '\r')
            lines += c;
    return lines;
}
