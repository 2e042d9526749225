// Management commands: install (with the restarts after a failure), remove,
// start, stop, pause and resume the service through the service control
// manager, wait for pending states, and print the usage and Windows error
// texts.
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "service_app.h"

void PrintLastError() {
    DWORD code = GetLastError();
    wchar_t text[1024];
    char oemText[1024] = "";
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT),
                                  text, 1024, nullptr);
    if (length > 0)
        CharToOemW(text, oemText);
    printf("%ul: %s\n", static_cast<unsigned>(code), oemText);
}

void PrintUsage(const wchar_t *serviceName) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const wchar_t *slash = wcsrchr(path, L'\\');
    const wchar_t *fileName = slash ? slash + 1 : path;
    wprintf(L"%ls service:\n\nUsage: %ls [OPTIONS]\n"
            L"   /install [auto|manual|disable]\t\tInstalls the service in the SCM's database.\n"
            L"   /remove\t\tRemoves the service from the SCM's database.\n"
            L"   /start\t\tStart service.\n"
            L"   /stop\t\tStop service.\n"
            L"   /pause\t\tPause service.\n"
            L"   /resume\t\tResume service.\n"
            L"   /debug\t\tRuns the service as a normal process for debugging.\n"
            L"   /service\t\tRuns the process as a service (should only be set in the SCM's "
            L"database).\n",
            serviceName, fileName);
}

// Enough to set the description and the failure actions: Windows wants the
// right to start the service for an action that restarts it.
static const DWORD InstallAccess = SERVICE_CHANGE_CONFIG | SERVICE_START;

// The service's command line: the program's full path in quotes and
// " /service", in a buffer as long as it needs, so a long path is never cut.
// Unquoted, a path with blanks such as C:\Program Files (x86)\... would let the
// service manager start C:\Program.exe instead. Free with free().
static wchar_t *ServiceCommandLine() {
    const DWORD capacity = 32768;
    wchar_t *path = static_cast<wchar_t *>(malloc(capacity * sizeof(wchar_t)));
    if (!path)
        return nullptr;
    DWORD length = GetModuleFileNameW(nullptr, path, capacity);
    static const wchar_t suffix[] = L"\" /service";
    wchar_t *commandLine =
        static_cast<wchar_t *>(malloc((length + wcslen(suffix) + 2) * sizeof(wchar_t)));
    if (commandLine) {
        commandLine[0] = L'"';
        wmemcpy(commandLine + 1, path, length);
        wcscpy(commandLine + 1 + length, suffix);
    }
    free(path);
    return commandLine;
}

BOOL SetRestartOnFailure(SC_HANDLE service) {
    SC_ACTION restarts[] = {{SC_ACTION_RESTART, 1000},
                            {SC_ACTION_RESTART, 5000},
                            {SC_ACTION_RESTART, 60000}};
    SERVICE_FAILURE_ACTIONSW actions = {};
    actions.dwResetPeriod = 24 * 60 * 60;
    actions.cActions = sizeof restarts / sizeof restarts[0];
    actions.lpsaActions = restarts;
    return ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions);
}

int CServiceApp::CmdInstall(const wchar_t *description, DWORD startType) {
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (!scm) {
        fputws(L"Can't open service manager:", stderr);
        PrintLastError();
        return 0;
    }
    wchar_t *commandLine = ServiceCommandLine();
    SC_HANDLE service = commandLine
                            ? CreateServiceW(scm, GetName(), GetName(), InstallAccess,
                                             SERVICE_WIN32_OWN_PROCESS, startType,
                                             SERVICE_ERROR_IGNORE, commandLine, nullptr, nullptr,
                                             nullptr, nullptr, nullptr)
                            : nullptr;
    free(commandLine);
    if (!service) {
        fputws(L"Can't create service:", stderr);
        PrintLastError();
        CloseServiceHandle(scm);
        return 0;
    }
    SERVICE_DESCRIPTIONW text = {const_cast<wchar_t *>(description)};
    ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &text);
    // A service without them still works, so the install stands; but a crash
    // would then leave it stopped until someone starts it, which is said.
    if (!SetRestartOnFailure(service)) {
        fputws(L"Can't set the restarts after a failure:", stderr);
        PrintLastError();
    }
    CloseServiceHandle(service);
    wprintf(L"Service installed.\n");
    CloseServiceHandle(scm);
    return 1;
}

// STANDARD_RIGHTS_REQUIRED and every service right but interrogate and
// user-defined controls.
static const DWORD ServiceAccess = 0xF007F;

int CServiceApp::OpenServiceHandles() {
    ScmHandle = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!ScmHandle) {
        fputws(L"Can't open service manager:", stderr);
        PrintLastError();
        return 0;
    }
    ServiceHandle = OpenServiceW(ScmHandle, GetName(), ServiceAccess);
    if (ServiceHandle)
        return 1;
    DWORD error = GetLastError();
    CloseServiceHandle(ScmHandle);
    ScmHandle = nullptr;
    fputws(L"Can't find service:", stderr);
    SetLastError(error);
    PrintLastError();
    return 0;
}

void CServiceApp::CloseServiceHandles() {
    if (ServiceHandle) {
        CloseServiceHandle(ServiceHandle);
        ServiceHandle = nullptr;
    }
    if (ScmHandle) {
        CloseServiceHandle(ScmHandle);
        ScmHandle = nullptr;
    }
}

BOOL CServiceApp::CmdRemove() {
    if (!OpenServiceHandles())
        return 0;
    BOOL removed = DeleteService(ServiceHandle);
    if (!removed) {
        fputws(L"Can't remove service:", stderr);
        PrintLastError();
    }
    CloseServiceHandles();
    if (removed)
        wprintf(L"Service removed.\n");
    return removed;
}

BOOL CServiceApp::CmdStart() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const wchar_t *arguments[2] = {path, L"/service"};
    wprintf(L"Starting service...");
    if (!OpenServiceHandles())
        return 0;
    BOOL started = StartServiceW(ServiceHandle, 2, arguments);
    if (!started) {
        fputws(L"\nCan't start service:", stderr);
        PrintLastError();
    } else if (WaitWhilePending(ServiceHandle, SERVICE_START_PENDING) == SERVICE_RUNNING) {
        wprintf(L"\nSuccses start.\n");
    } else {
        wprintf(L"\nStart fail.\n");
    }
    CloseServiceHandles();
    return started;
}

struct ControlCommand {
    const wchar_t *Progress;
    DWORD Control;
    const wchar_t *FailureHeader;
    DWORD PendingState;
    DWORD ExpectedState;
    const wchar_t *SuccessLine;
    const wchar_t *FailureLine;
};

static BOOL SendControl(CServiceApp *app, const ControlCommand &command) {
    wprintf(L"%ls", command.Progress);
    if (!app->OpenServiceHandles())
        return 0;
    SERVICE_STATUS status;
    BOOL accepted = ControlService(app->ServiceHandle, command.Control, &status);
    if (!accepted) {
        fputws(command.FailureHeader, stderr);
        PrintLastError();
    } else {
        bool reached =
            WaitWhilePending(app->ServiceHandle, command.PendingState) == command.ExpectedState;
        wprintf(L"%ls\n", reached ? command.SuccessLine : command.FailureLine);
    }
    app->CloseServiceHandles();
    return accepted;
}

BOOL CServiceApp::CmdStop() {
    static const ControlCommand stop = {
        L"Stopping service...", SERVICE_CONTROL_STOP, L"\nCan't stop service:",
        SERVICE_STOP_PENDING,   SERVICE_STOPPED,      L"\nSuccses stop.",
        L"\nStop fail."};
    return SendControl(this, stop);
}

BOOL CServiceApp::CmdPause() {
    static const ControlCommand pause = {
        L"Suspending service...", SERVICE_CONTROL_PAUSE, L"\nCan't pause service:",
        SERVICE_PAUSE_PENDING,    SERVICE_PAUSED,        L"\nSuccses suspend.",
        L"\nSuspend fail."};
    return SendControl(this, pause);
}

BOOL CServiceApp::CmdResume() {
    static const ControlCommand resume = {
        L"Resume service...",     SERVICE_CONTROL_CONTINUE, L"\nCan't resume service:",
        SERVICE_CONTINUE_PENDING, SERVICE_RUNNING,          L"\nSuccses resume.",
        L"\nResume fail."};
    return SendControl(this, resume);
}

DWORD PollInterval(DWORD waitHint) {
    DWORD interval = waitHint / 10;
    if (interval < 1000)
        interval = 1000;
    if (interval > 10000)
        interval = 10000;
    return interval;
}

static BOOL QueryProcessStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS *status) {
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(status),
                                sizeof *status, &needed);
}

static void SleepMilliseconds(DWORD milliseconds) { Sleep(milliseconds); }
static DWORD TickNow() { return GetTickCount(); }

DWORD WaitWhilePending(SC_HANDLE service, DWORD pendingState) {
    static const StatusSource system = {QueryProcessStatus, SleepMilliseconds, TickNow};
    return WaitWhilePending(service, pendingState, system);
}

DWORD WaitWhilePending(SC_HANDLE service, DWORD pendingState, const StatusSource &source) {
    SERVICE_STATUS_PROCESS status;
    if (!source.Query(service, &status))
        return 0;
    DWORD lastProgress = source.TickCount();
    DWORD lastCheckPoint = status.dwCheckPoint;
    while (status.dwCurrentState == pendingState) {
        source.Sleep(PollInterval(status.dwWaitHint));
        wprintf(L".");
        if (!source.Query(service, &status))
            return 0;
        if (status.dwCheckPoint > lastCheckPoint) {
            lastProgress = source.TickCount();
            lastCheckPoint = status.dwCheckPoint;
        } else if (source.TickCount() - lastProgress > status.dwWaitHint &&
                   status.dwWaitHint != 0) {
            return 0;
        }
    }
    return status.dwCurrentState;
}
