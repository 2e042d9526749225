// CServiceApp: the abstract service application that the program entry, the
// service framework and the management commands drive.
#pragma once

#include <windows.h>

#include "log_file.h"

// Reads a service's status; replaceable so that the wait can be tested
// without a service manager.
struct StatusSource {
    BOOL (*Query)(SC_HANDLE service, SERVICE_STATUS_PROCESS *status);
    void (*Sleep)(DWORD milliseconds);
    DWORD (*TickCount)();
};

class CServiceApp {
  public:
    CServiceApp();
    ~CServiceApp();

    virtual const wchar_t *GetName();
    virtual const wchar_t *GetDescription();
    virtual int Init() = 0;
    virtual void Stop() = 0;
    virtual void Run() = 0;
    virtual void Pause() = 0;
    virtual void Continue() = 0;

    // Framework (service_main.cpp).
    void ParseCommandLine(int argc, wchar_t **argv);
    void ControlHandler(DWORD control);
    void RunDebugMode();
    void RunServiceMode();
    void ReportStatus(const wchar_t *failureHeader);

    // Management commands (service_control.cpp).
    int CmdInstall(const wchar_t *description, DWORD startType);
    BOOL CmdRemove();
    BOOL CmdStart();
    BOOL CmdStop();
    BOOL CmdPause();
    BOOL CmdResume();
    int OpenServiceHandles();
    void CloseServiceHandles();

    SC_HANDLE ScmHandle = nullptr;
    SC_HANDLE ServiceHandle = nullptr;
    SERVICE_STATUS_HANDLE StatusHandle = nullptr;
    SERVICE_STATUS Status = {};
    int DebugMode = 0;
    CLogFile *Log = nullptr;

  protected:
    void LogMessage(const wchar_t *message) {
        if (Log)
            Log->WriteMessage(message);
    }
};

void PrintLastError();
void PrintUsage(const wchar_t *serviceName);
// Asks the service manager to restart the service after a failure: 1 s after
// the first, 5 s after the second, 60 s after every further one, counting
// anew after a day without failure. `service` needs SERVICE_CHANGE_CONFIG and
// SERVICE_START. The result and last error are ChangeServiceConfig2W's.
BOOL SetRestartOnFailure(SC_HANDLE service);
DWORD WaitWhilePending(SC_HANDLE service, DWORD pendingState);
DWORD WaitWhilePending(SC_HANDLE service, DWORD pendingState, const StatusSource &source);
// The pause between two polls for a given wait hint: a tenth of it, kept
// within 1 to 10 seconds.
DWORD PollInterval(DWORD waitHint);

extern CServiceApp *AppInstance;
extern LONG AppUseCount;

// Program entry: creates the application object, runs the command line,
// destroys the object.
int ServiceProgramMain(int argc, wchar_t **argv);
