// The frame around the application: the program entry, the choice of mode from
// the command line, debug mode with its console handler, and service mode with
// the service main function, the control handler and the status reports.
#include <stdio.h>

#include "service_app.h"
#include "tonvale.h"

CServiceApp *AppInstance;
LONG AppUseCount;

CServiceApp::CServiceApp() {}

CServiceApp::~CServiceApp() {
    if (Log) {
        if (Log->LogStream)
            fclose(Log->LogStream);
        delete Log;
        Log = nullptr;
    }
}

const wchar_t *CServiceApp::GetName() { return L""; }
const wchar_t *CServiceApp::GetDescription() { return L""; }

int ServiceProgramMain(int argc, wchar_t **argv) {
    if (!AppInstance) {
        AppUseCount = 1;
        AppInstance = new CTonvale;
    } else {
        AppUseCount++;
    }
    AppInstance->ParseCommandLine(argc, argv);
    if (--AppUseCount <= 0 && AppInstance) {
        delete static_cast<CTonvale *>(AppInstance);
        AppInstance = nullptr;
    }
    return 0;
}

static bool IsSwitch(const wchar_t *argument) {
    return argument[0] == L'-' || argument[0] == L'/';
}

void CServiceApp::ParseCommandLine(int argc, wchar_t **argv) {
    if (argc < 2 || !IsSwitch(argv[1])) {
        PrintUsage(GetName());
        return;
    }
    const wchar_t *word = argv[1] + 1;
    const wchar_t *second = argc > 2 ? argv[2] : nullptr;
    if (lstrcmpiW(word, L"install") == 0) {
        if (!second || IsSwitch(second) || lstrcmpiW(second, L"manual") == 0)
            CmdInstall(GetDescription(), SERVICE_DEMAND_START);
        else if (lstrcmpiW(second, L"auto") == 0)
            CmdInstall(GetDescription(), SERVICE_AUTO_START);
        else if (lstrcmpiW(second, L"disable") == 0)
            CmdInstall(GetDescription(), SERVICE_DISABLED);
        else
            PrintUsage(GetName());
    } else if (lstrcmpiW(word, L"remove") == 0) {
        CmdRemove();
    } else if (lstrcmpiW(word, L"start") == 0) {
        CmdStart();
    } else if (lstrcmpiW(word, L"stop") == 0) {
        CmdStop();
    } else if (lstrcmpiW(word, L"pause") == 0) {
        CmdPause();
    } else if (lstrcmpiW(word, L"resume") == 0) {
        CmdResume();
    } else if (lstrcmpiW(word, L"debug") == 0) {
        RunDebugMode();
    } else if (lstrcmpiW(word, L"service") == 0) {
        RunServiceMode();
    } else {
        PrintUsage(GetName());
    }
}

static BOOL WINAPI ConsoleCtrlHandler(DWORD) {
    AppInstance->Stop();
    return TRUE;
}

void CServiceApp::RunDebugMode() {
    DebugMode = 1;
    SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
    Log = new CLogFile;
    Log->ConsoleMode = 1;
    if (Init() == 0)
        Run();
}

static DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD, void *, void *context) {
    static_cast<CServiceApp *>(context)->ControlHandler(control);
    return NO_ERROR;
}

void CServiceApp::ReportStatus(const wchar_t *failureHeader) {
    if (!SetServiceStatus(StatusHandle, &Status)) {
        fputws(failureHeader, stderr);
        PrintLastError();
    }
}

static const wchar_t StatusFailure[] = L" SetServiceStatus error : ";

static void WINAPI ServiceMain(DWORD, wchar_t **) {
    CServiceApp *app = AppInstance;
    app->Status.dwServiceType = SERVICE_WIN32;
    app->Status.dwCurrentState = SERVICE_START_PENDING;
    app->Status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
    app->Status.dwWin32ExitCode = 0;
    app->Status.dwServiceSpecificExitCode = 0;
    app->Status.dwCheckPoint = 0;
    app->Status.dwWaitHint = 0;

    app->StatusHandle = RegisterServiceCtrlHandlerExW(app->GetName(), ServiceCtrlHandler, app);
    if (!app->StatusHandle) {
        fputws(L"Can't register ctrl handler.", stderr);
        PrintLastError();
        return;
    }

    app->Status.dwCurrentState = app->Init() == 0 ? SERVICE_RUNNING : SERVICE_STOPPED;
    app->Status.dwCheckPoint = 0;
    app->Status.dwWaitHint = 0;
    if (!SetServiceStatus(app->StatusHandle, &app->Status)) {
        fputws(StatusFailure, stderr);
        PrintLastError();
        return;
    }
    if (app->Status.dwCurrentState == SERVICE_RUNNING)
        app->Run();

    app->Status.dwCurrentState = SERVICE_STOPPED;
    app->Status.dwCheckPoint = 0;
    app->Status.dwWaitHint = 0;
    app->ReportStatus(StatusFailure);
}

void CServiceApp::RunServiceMode() {
    DebugMode = 0;
    Log = new CLogFile;
    Log->ConsoleMode = 0;
    Log->OpenFile();
    SERVICE_TABLE_ENTRYW table[2] = {
        {const_cast<wchar_t *>(GetName()), ServiceMain},
        {nullptr, nullptr},
    };
    if (!StartServiceCtrlDispatcherW(table)) {
        fputws(L"Can't start service.", stderr);
        PrintLastError();
    }
}

void CServiceApp::ControlHandler(DWORD control) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
        // Stop-pending goes out before Stop: the manager must know the stop is
        // under way while Run winds down; stopped is reported once it returned.
        Status.dwWin32ExitCode = 0;
        Status.dwCheckPoint = 0;
        Status.dwWaitHint = 0;
        Status.dwCurrentState = SERVICE_STOP_PENDING;
        ReportStatus(L"SetServiceStatus error : ");
        Stop();
        fputws(L"Leaving MyService \n", stderr);
        PrintLastError();
        break;
    case SERVICE_CONTROL_PAUSE:
        Pause();
        Status.dwCurrentState = SERVICE_PAUSED;
        ReportStatus(StatusFailure);
        break;
    case SERVICE_CONTROL_CONTINUE:
        Continue();
        Status.dwCurrentState = SERVICE_RUNNING;
        ReportStatus(StatusFailure);
        break;
    default:
        ReportStatus(StatusFailure);
        break;
    }
}
