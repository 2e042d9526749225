// Tonvaled's command line run for real: the usage text byte for byte, the
// words that select it, and /service typed at a console.
#include <gtest/gtest.h>

#include <regex>

#include "support/test_support.h"

namespace {

const std::string Usage = Crlf(
    "Tonvaled service:\n\nUsage: Tonvaled.exe [OPTIONS]\n"
    "   /install [auto|manual|disable]\t\tInstalls the service in the SCM's database.\n"
    "   /remove\t\tRemoves the service from the SCM's database.\n"
    "   /start\t\tStart service.\n"
    "   /stop\t\tStop service.\n"
    "   /pause\t\tPause service.\n"
    "   /resume\t\tResume service.\n"
    "   /debug\t\tRuns the service as a normal process for debugging.\n"
    "   /service\t\tRuns the process as a service (should only be set in the SCM's database).\n");

class CommandLine : public ::testing::Test {
  protected:
    void SetUp() override { Daemon = MakeDaemonCopy(nullptr); }
    void TearDown() override { DeleteDaemonCopy(&Daemon); }
    ProcessResult Run(const std::wstring &arguments) {
        return RunProcess(L"\"" + Daemon.Exe + L"\"" + arguments, 20000);
    }
    DaemonCopy Daemon;
};

TEST_F(CommandLine, UsageForMissingOrUnknownWords) {
    const wchar_t *cases[] = {L"", L" debug", L" /help", L" -debugx", L" /install sometimes",
                              L" /"};
    for (const wchar_t *arguments : cases) {
        ProcessResult result = Run(arguments);
        EXPECT_FALSE(result.TimedOut);
        EXPECT_EQ(0u, result.ExitCode) << Narrow(arguments);
        EXPECT_EQ(Usage, result.Out) << Narrow(arguments);
        EXPECT_EQ("", result.Err) << Narrow(arguments);
    }
}

TEST_F(CommandLine, ServiceWordAtAConsoleCannotReachTheManager) {
    ProcessResult result = Run(L" -SERVICE");
    EXPECT_EQ(0u, result.ExitCode);
    EXPECT_EQ("Can't start service.", result.Err);
    EXPECT_TRUE(std::regex_match(result.Out, std::regex("[0-9]+l: [^\\n]*\\r?\\n?\\r\\n")))
        << result.Out;
    // The log was opened all the same.
    EXPECT_NE(INVALID_FILE_ATTRIBUTES,
              GetFileAttributesW((Daemon.Folder + L"\\Tonvaled.log").c_str()));
}

TEST_F(CommandLine, PortComesFromTheIniFile) {
    // A plain value, and one beyond 16 bits that wraps to its low 16 bits.
    uint16_t port = FreePort();
    char ini[80];
    snprintf(ini, sizeof ini, "[COMMON]\r\nlisternPort=%u\r\nAnnounce=0\r\n", port + 65536u);
    WriteFileBytes(Daemon.Folder + L"\\Tonvaled.ini", ini);
    Daemon.Port = port;
    ASSERT_TRUE(StartDebugDaemon(&Daemon));
    KillDaemon(&Daemon);
    Daemon.Port = 0; // StartDebugDaemon writes a plain value for a new port
    ASSERT_TRUE(StartDebugDaemon(&Daemon));
}

TEST_F(CommandLine, MissingIniListensOnTheDefaultPort) {
    SOCKET busy = ConnectLoopback(4554);
    if (busy != INVALID_SOCKET) {
        closesocket(busy);
        GTEST_SKIP() << "something else listens on 4554";
    }
    Daemon.Port = 4554;
    ASSERT_TRUE(StartDebugDaemon(&Daemon));
}

} // namespace
