// The management commands against Wine's real service control manager:
// install with each start type, the stored configuration, the restarts after
// a failure, start, pause, resume, stop and remove, and every command on a
// service that is missing.
#include <gtest/gtest.h>

#include <regex>

#include "service/log_file.h"
#include "service/service_app.h"
#include "support/test_support.h"

namespace {

// One PrintLastError line: code, the letter l, a colon, the system text.
const std::string ErrorLine(DWORD code) {
    return std::to_string(code) + "l: ";
}

long long FileSize(const std::wstring &path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Every line of a log text starts with its time stamp and ends with CR LF.
bool AllLinesStamped(const std::string &text) {
    static const std::regex Stamp("<\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d> [^\r\n]+");
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find("\r\n", at);
        if (end == std::string::npos || !std::regex_match(text.substr(at, end - at), Stamp))
            return false;
        at = end + 2;
    }
    return !text.empty();
}

class ServiceManager : public ::testing::Test {
  protected:
    void SetUp() override {
        Daemon = MakeDaemonCopy(nullptr);
        Daemon.Port = FreePort();
        char ini[64];
        snprintf(ini, sizeof ini, "[COMMON]\r\nlisternPort=%u\r\nAnnounce=0\r\n", Daemon.Port);
        WriteFileBytes(Daemon.Folder + L"\\Tonvaled.ini", ini);
        RemoveInstalledService();
    }
    void TearDown() override {
        RemoveInstalledService();
        DeleteDaemonCopy(&Daemon);
    }
    ProcessResult Command(const std::wstring &arguments) {
        return RunProcess(L"\"" + Daemon.Exe + L"\" " + arguments, 60000);
    }
    DWORD CurrentState() {
        SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = OpenServiceW(scm, L"Tonvaled", SERVICE_QUERY_STATUS);
        SERVICE_STATUS status = {};
        QueryServiceStatus(service, &status);
        CloseServiceHandle(service);
        CloseServiceHandle(scm);
        return status.dwCurrentState;
    }
    DaemonCopy Daemon;
};

TEST_F(ServiceManager, InstallStoresTheConfigurationForEachStartType) {
    struct Case {
        const wchar_t *Arguments;
        DWORD StartType;
    } cases[] = {{L"/install", SERVICE_DEMAND_START},
                 {L"-install /x", SERVICE_DEMAND_START},
                 {L"/INSTALL Manual", SERVICE_DEMAND_START},
                 {L"/install AUTO", SERVICE_AUTO_START},
                 {L"/install disable", SERVICE_DISABLED}};
    for (const Case &c : cases) {
        ProcessResult installed = Command(c.Arguments);
        EXPECT_EQ(Crlf("Service installed.\n"), installed.Out) << Narrow(c.Arguments);
        EXPECT_EQ("", installed.Err);
        StoredServiceConfig config = QueryStoredServiceConfig();
        ASSERT_TRUE(config.Found) << Narrow(c.Arguments);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), config.ServiceType);
        EXPECT_EQ(c.StartType, config.StartType) << Narrow(c.Arguments);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_IGNORE), config.ErrorControl);
        // Quoted, so that a path with blanks cannot be read as a shorter program.
        EXPECT_EQ(L"\"" + Daemon.Exe + L"\" /service", config.BinaryPath);
        EXPECT_EQ(L"Tonvaled", config.DisplayName);
        EXPECT_EQ(L"Service for tonvale sound", config.Description);

        ProcessResult removed = Command(L"/remove");
        EXPECT_EQ(Crlf("Service removed.\n"), removed.Out);
        EXPECT_FALSE(QueryStoredServiceConfig().Found);
    }
}

SC_HANDLE OpenInstalledService(SC_HANDLE scm, DWORD access) {
    return OpenServiceW(scm, L"Tonvaled", access);
}

// /install asks for restarts after a failure and says nothing more when the
// manager accepts: a refusal would print "Can't set the restarts after a
// failure:". Wine's manager accepts but keeps nothing, and its query answers
// ERROR_INVALID_LEVEL; a manager that keeps them must give back what was asked.
TEST_F(ServiceManager, InstallAsksForRestartsAfterAFailure) {
    ProcessResult installed = Command(L"/install auto");
    EXPECT_EQ(Crlf("Service installed.\n"), installed.Out);
    EXPECT_EQ("", installed.Err);

    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenInstalledService(scm, SERVICE_QUERY_CONFIG);
    ASSERT_NE(nullptr, service);
    alignas(SERVICE_FAILURE_ACTIONSW) BYTE stored[4096];
    DWORD needed = 0;
    if (QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, stored, sizeof stored,
                             &needed)) {
        auto *actions = reinterpret_cast<SERVICE_FAILURE_ACTIONSW *>(stored);
        EXPECT_EQ(86400u, actions->dwResetPeriod);
        ASSERT_EQ(3u, actions->cActions);
        const DWORD delays[] = {1000, 5000, 60000};
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(SC_ACTION_RESTART, actions->lpsaActions[i].Type) << i;
            EXPECT_EQ(delays[i], actions->lpsaActions[i].Delay) << i;
        }
    } else {
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_LEVEL), GetLastError());
    }
    CloseServiceHandle(service);
    CloseServiceHandle(scm);
}

// The request reaches the real manager: granted on a handle with the rights
// that /install holds, refused on one without the right to change the entry.
TEST_F(ServiceManager, RestartRequestNeedsTheRightsThatInstallHolds) {
    ASSERT_EQ(Crlf("Service installed.\n"), Command(L"/install").Out);
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);

    SC_HANDLE entitled = OpenInstalledService(scm, SERVICE_CHANGE_CONFIG | SERVICE_START);
    ASSERT_NE(nullptr, entitled);
    EXPECT_TRUE(SetRestartOnFailure(entitled)) << GetLastError();
    CloseServiceHandle(entitled);

    SC_HANDLE readOnly = OpenInstalledService(scm, SERVICE_QUERY_STATUS);
    ASSERT_NE(nullptr, readOnly);
    EXPECT_FALSE(SetRestartOnFailure(readOnly));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    CloseServiceHandle(readOnly);
    CloseServiceHandle(scm);
}

TEST_F(ServiceManager, SecondInstallFailsAndKeepsTheFirstEntry) {
    Command(L"/install auto");
    ProcessResult again = Command(L"/install disable");
    EXPECT_EQ("Can't create service:", again.Err);
    EXPECT_EQ(0u, again.Out.find(ErrorLine(ERROR_SERVICE_EXISTS))) << again.Out;
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), QueryStoredServiceConfig().StartType);
}

TEST_F(ServiceManager, EveryCommandOnAMissingServiceSaysSo) {
    struct Case {
        const wchar_t *Arguments;
        const char *Progress;
    } cases[] = {{L"/remove", ""},
                 {L"/start", "Starting service..."},
                 {L"/stop", "Stopping service..."},
                 {L"/pause", "Suspending service..."},
                 {L"/resume", "Resume service..."}};
    for (const Case &c : cases) {
        ProcessResult result = Command(c.Arguments);
        EXPECT_EQ("Can't find service:", result.Err) << Narrow(c.Arguments);
        std::string expected = std::string(c.Progress) + ErrorLine(ERROR_SERVICE_DOES_NOT_EXIST);
        EXPECT_EQ(0u, result.Out.find(expected)) << result.Out;
        EXPECT_TRUE(std::regex_match(result.Out, std::regex("[^\\n]*\\n?\\r\\n")))
            << "one error line and nothing else: " << result.Out;
    }
}

TEST_F(ServiceManager, StartPauseResumeStopAndRemoveTheRunningService) {
    ASSERT_EQ(Crlf("Service installed.\n"), Command(L"/install").Out);

    ProcessResult started = Command(L"/start");
    EXPECT_TRUE(std::regex_match(started.Out, std::regex("Starting service\\.\\.\\.\\.*\r\nSuccses start\\.\r\n")))
        << started.Out;
    EXPECT_EQ("", started.Err);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), CurrentState());

    // The running service plays what a client sends.
    ASSERT_TRUE(WaitForPort(Daemon.Port, 10000));
    SOCKET client = ConnectLoopback(Daemon.Port);
    EXPECT_EQ("", PlayOneBuffer(client, PcmFormatBytes(44100, 2, 16), 8820));

    ProcessResult again = Command(L"/start");
    EXPECT_EQ(Crlf("\nCan't start service:"), again.Err);
    EXPECT_EQ(0u, again.Out.find("Starting service..." + ErrorLine(ERROR_SERVICE_ALREADY_RUNNING)))
        << again.Out;

    EXPECT_EQ(Crlf("Suspending service...\nSuccses suspend.\n"), Command(L"/pause").Out);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_PAUSED), CurrentState());
    // Paused, the server keeps serving.
    ASSERT_TRUE(SendFrame(client, CMD_FLUSH, nullptr, 0));
    FrameHeader frame;
    ASSERT_TRUE(ReceiveFrame(client, &frame));
    EXPECT_EQ(CMD_FLUSH, frame.Code);
    EXPECT_EQ(Crlf("Resume service...\nSuccses resume.\n"), Command(L"/resume").Out);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), CurrentState());

    ProcessResult stopped = Command(L"/stop");
    EXPECT_TRUE(std::regex_match(stopped.Out, std::regex("Stopping service\\.\\.\\.\\.*\r\nSuccses stop\\.\r\n")))
        << stopped.Out;
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), CurrentState());
    EXPECT_TRUE(PeerClosed(client, 3000));
    closesocket(client);

    std::string log = ReadFileBytes(Daemon.Folder + L"\\Tonvaled.log");
    EXPECT_TRUE(std::regex_match(
        log, std::regex("<\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d> Tonvale started\r\n"
                        "<\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d> Tonvale stopped\r\n")))
        << log;

    EXPECT_EQ(Crlf("Service removed.\n"), Command(L"/remove").Out);
    EXPECT_FALSE(QueryStoredServiceConfig().Found);
}

// Each empty CMD_WRITE costs the service a log line; a peer sending nothing
// else must not fill the disk. The log starts just below its bound, so that
// the flood crosses it within seconds.
TEST_F(ServiceManager, FloodOfEmptyWritesKeepsTheLogWithinItsBound) {
    const std::wstring logPath = Daemon.Folder + L"\\Tonvaled.log";
    const std::wstring oldPath = logPath + L".old";
    const std::string earlier = "<01.01.2026 00:00:00> Can't write buffer\r\n";
    std::string seeded;
    while (seeded.size() + earlier.size() <= LOG_FILE_MAX_BYTES - 64 * 1024)
        seeded += earlier;
    ASSERT_TRUE(WriteFileBytes(logPath, seeded));
    ASSERT_TRUE(WriteFileBytes(oldPath, "<01.01.2000 00:00:00> older log\r\n"));
    ASSERT_EQ(Crlf("Service installed.\n"), Command(L"/install").Out);
    Command(L"/start");
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), CurrentState());
    ASSERT_TRUE(WaitForPort(Daemon.Port, 10000));

    SOCKET flood = ConnectLoopback(Daemon.Port);
    // Each round ends with a flush, whose reply says the round has been
    // handled: the loop below sees the log as it is, not megabytes behind.
    const std::string emptyWrites = [] {
        std::string frames;
        for (int i = 0; i < 2000; i++)
            frames.append("\x02\0\0\0\0", FRAME_HEADER_SIZE);
        frames.append("\x04\0\0\0\0", FRAME_HEADER_SIZE);
        return frames;
    }();
    long long largest = 0, last = FileSize(logPath), grownAfter = -1;
    DWORD deadline = GetTickCount() + 60000;
    // On until the file has started anew and grown by another 64 KiB.
    while (grownAfter < 64 * 1024 && GetTickCount() < deadline) {
        ASSERT_TRUE(SendAll(flood, emptyWrites.data(), static_cast<int>(emptyWrites.size())));
        FrameHeader reply;
        ASSERT_TRUE(ReceiveFrame(flood, &reply, 10000));
        ASSERT_EQ(CMD_FLUSH, reply.Code);
        long long size = FileSize(logPath);
        if (size < last || grownAfter >= 0)
            grownAfter = size;
        largest = std::max(largest, size);
        last = size;
    }
    ASSERT_GE(grownAfter, 64 * 1024) << "the log never started anew (" << last << " bytes)";
    EXPECT_LE(largest, LOG_FILE_MAX_BYTES);

    // The next client is served, and plays.
    SOCKET next = ConnectLoopback(Daemon.Port);
    EXPECT_EQ("", PlayOneBuffer(next, PcmFormatBytes(44100, 2, 16), 8820));
    closesocket(next);
    closesocket(flood);
    Command(L"/stop");

    std::string old = ReadFileBytes(oldPath);
    EXPECT_LE(old.size(), static_cast<size_t>(LOG_FILE_MAX_BYTES));
    // The full file replaced the older one, its lines whole.
    EXPECT_EQ(0u, old.find(seeded));
    EXPECT_GT(old.size(), seeded.size());
    EXPECT_TRUE(AllLinesStamped(old));
    std::string log = ReadFileBytes(logPath);
    EXPECT_LE(log.size(), static_cast<size_t>(LOG_FILE_MAX_BYTES));
    EXPECT_TRUE(AllLinesStamped(log));
    EXPECT_NE(std::string::npos, log.find("> Tonvale stopped\r\n"));
}

} // namespace
