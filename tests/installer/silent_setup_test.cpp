// The setup program run silently: a fresh installation of both components,
// where the plug-in lands, an upgrade over a running service, the uninstaller,
// and the failures that must end with a message and a non-zero exit code.
#include "setup_fixture.h"

namespace {

std::string IniWithPort(uint16_t port) {
    return "[COMMON]\r\nlisternPort=" + std::to_string(port) + "\r\nAnnounce=0\r\n";
}

// The plug-in's settings as a user left them: must survive byte for byte.
const char UserPluginIni[] = "[COMMON]\r\nServerAddr=speakers.example\r\nServerPort=4999\r\nBuffSize=900\r\n";

bool CreateFolders(const std::wstring &path) {
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1))
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    return CreateDirectoryW(path.c_str(), nullptr) || FolderExists(path);
}

using SilentInstall = SetupTest;

TEST_F(SilentInstall, InstallsBothComponentsAndStartsTheService) {
    ASSERT_FALSE(FolderExists(ServiceFolder()));
    ASSERT_EQ(ServiceState(), 0u);

    ProcessResult run = RunSetup(L"/S");
    ASSERT_FALSE(run.TimedOut);
    ASSERT_EQ(run.ExitCode, 0u) << run.Err;
    EXPECT_EQ(run.Err.find("error"), std::string::npos) << run.Err;

    EXPECT_EQ(ReadFileBytes(ServiceFolder() + L"\\Tonvaled.exe"), BuiltServiceBytes());
    EXPECT_TRUE(FileExists(ServiceFolder() + L"\\Uninstall.exe"));
    EXPECT_EQ(ReadFileBytes(DefaultPluginFolder() + L"\\out_tonvale.dll"), BuiltPluginBytes());
    EXPECT_FALSE(FileExists(DefaultPluginFolder() + L"\\out_tonvale.ini"));

    StoredServiceConfig config = QueryServiceConfig();
    ASSERT_TRUE(config.Found);
    EXPECT_EQ(config.ServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config.StartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config.BinaryPath, L"\"" + ServiceFolder() + L"\\Tonvaled.exe\" /service");
    EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(AnswersClose(4554));

    ASSERT_TRUE(UninstallEntryExists());
    EXPECT_EQ(UninstallEntryValue(L"DisplayName"), L"Tonvale");
    EXPECT_EQ(UninstallEntryValue(L"DisplayVersion"), Widen(TONVALE_VERSION));
    // The program files only: the size the Programs list shows.
    EXPECT_EQ(UninstallEntryNumber(L"EstimatedSize"),
              SizeInKilobytes({ServiceFolder() + L"\\Tonvaled.exe",
                               ServiceFolder() + L"\\Uninstall.exe",
                               DefaultPluginFolder() + L"\\out_tonvale.dll"}));
    EXPECT_EQ(UninstallEntryValue(L"InstallLocation"), ServiceFolder());
    EXPECT_EQ(UninstallEntryValue(L"UninstallString"),
              L"\"" + ServiceFolder() + L"\\Uninstall.exe\"");
    EXPECT_EQ(UninstallEntryValue(L"QuietUninstallString"),
              L"\"" + ServiceFolder() + L"\\Uninstall.exe\" /S");
}

using PluginFolder = SetupTest;

TEST_F(PluginFolder, FollowsThePlayersRegistryValueAndKeepsItsIni) {
    ASSERT_TRUE(CreateFolders(L"C:\\Player Test\\Plugins"));
    ASSERT_TRUE(WriteFileBytes(L"C:\\Player Test\\Plugins\\out_tonvale.ini", UserPluginIni));
    SetRegistryText(HKEY_CURRENT_USER, L"Software\\Winamp", nullptr, L"C:\\Player Test");

    ProcessResult run = RunSetup(L"/S /COMPONENTS=plugin");
    ASSERT_EQ(run.ExitCode, 0u) << run.Err;
    EXPECT_EQ(ReadFileBytes(L"C:\\Player Test\\Plugins\\out_tonvale.dll"), BuiltPluginBytes());
    EXPECT_EQ(ReadFileBytes(L"C:\\Player Test\\Plugins\\out_tonvale.ini"), UserPluginIni);
    EXPECT_FALSE(FolderExists(DefaultPluginFolder()));
    // Only the plug-in was asked for.
    EXPECT_EQ(ServiceState(), 0u);
    EXPECT_FALSE(FileExists(ServiceFolder() + L"\\Tonvaled.exe"));
    EXPECT_EQ(UninstallEntryNumber(L"EstimatedSize"),
              SizeInKilobytes({ServiceFolder() + L"\\Uninstall.exe",
                               L"C:\\Player Test\\Plugins\\out_tonvale.dll"}));

    ProcessResult removal = RunUninstaller(L"/S");
    ASSERT_EQ(removal.ExitCode, 0u) << removal.Err;
    EXPECT_FALSE(FileExists(L"C:\\Player Test\\Plugins\\out_tonvale.dll"));
    EXPECT_EQ(ReadFileBytes(L"C:\\Player Test\\Plugins\\out_tonvale.ini"), UserPluginIni);
    // The player's own folder was there before: it stays.
    EXPECT_TRUE(FolderExists(L"C:\\Player Test\\Plugins"));
}

TEST_F(PluginFolder, FallsBackToThePlayersUninstallEntry) {
    SetRegistryText(HKEY_LOCAL_MACHINE,
                    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Winamp",
                    L"UninstallString", L"\"C:\\Other Player\\UninstWA.exe\"");
    ProcessResult run = RunSetup(L"/S /COMPONENTS=plugin");
    ASSERT_EQ(run.ExitCode, 0u) << run.Err;
    EXPECT_EQ(ReadFileBytes(L"C:\\Other Player\\Plugins\\out_tonvale.dll"), BuiltPluginBytes());
    EXPECT_FALSE(FolderExists(DefaultPluginFolder()));
}

TEST_F(PluginFolder, UsesTheDefaultFolderWithoutRegistryEntries) {
    ProcessResult run = RunSetup(L"/S /COMPONENTS=plugin");
    ASSERT_EQ(run.ExitCode, 0u) << run.Err;
    EXPECT_EQ(ReadFileBytes(DefaultPluginFolder() + L"\\out_tonvale.dll"), BuiltPluginBytes());

    // Setup created the player's folders; with nothing else in them, the
    // uninstaller takes them away again.
    ProcessResult removal = RunUninstaller(L"/S");
    ASSERT_EQ(removal.ExitCode, 0u) << removal.Err;
    EXPECT_FALSE(FolderExists(ProgramFiles() + L"\\Winamp"));
}

TEST_F(PluginFolder, SwitchOverridesTheRegistry) {
    SetRegistryText(HKEY_CURRENT_USER, L"Software\\Winamp", nullptr, L"C:\\Player Test");
    ProcessResult run = RunSetup(L"/S /COMPONENTS=plugin /PLUGINDIR=\"C:\\Chosen Folder\\Plugins\"");
    ASSERT_EQ(run.ExitCode, 0u) << run.Err;
    EXPECT_EQ(ReadFileBytes(L"C:\\Chosen Folder\\Plugins\\out_tonvale.dll"), BuiltPluginBytes());
    EXPECT_FALSE(FileExists(L"C:\\Player Test\\Plugins\\out_tonvale.dll"));
}

using Upgrade = SetupTest;

TEST_F(Upgrade, ReplacesTheProgramKeepsIniAndLogAndRunsOnTheNewPort) {
    ASSERT_EQ(RunSetup(L"/S /COMPONENTS=service").ExitCode, 0u);
    ASSERT_TRUE(AnswersClose(4554));

    // Make the installed program an older build: the same code with a
    // different tail, put in while the service is stopped.
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(scm, L"Tonvaled", SERVICE_STOP | SERVICE_START | SERVICE_QUERY_STATUS);
    SERVICE_STATUS status;
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    for (int i = 0; i < 100 && ServiceState() != SERVICE_STOPPED; i++)
        Sleep(100);
    std::wstring program = ServiceFolder() + L"\\Tonvaled.exe";
    bool replaced = false;
    for (int i = 0; i < 50 && !(replaced = WriteFileBytes(program, BuiltServiceBytes() + "older build")); i++)
        Sleep(100);
    ASSERT_TRUE(replaced);
    ASSERT_TRUE(StartServiceW(service, 0, nullptr));
    CloseServiceHandle(service);
    CloseServiceHandle(scm);
    ASSERT_TRUE(WaitForPort(4554, 10000));

    uint16_t port = FreePort();
    std::wstring ini = ServiceFolder() + L"\\Tonvaled.ini";
    ASSERT_TRUE(WriteFileBytes(ini, IniWithPort(port)));
    std::string logBefore = ReadFileBytes(ServiceFolder() + L"\\Tonvaled.log");
    ASSERT_FALSE(logBefore.empty());

    ProcessResult run = RunSetup(L"/S /COMPONENTS=service");
    ASSERT_EQ(run.ExitCode, 0u) << run.Err;
    // The kept entry was given the restarts after a failure without a warning.
    EXPECT_EQ(run.Err.find("restarted after a failure"), std::string::npos) << run.Err;
    EXPECT_EQ(ReadFileBytes(program), BuiltServiceBytes());
    EXPECT_EQ(ReadFileBytes(ini), IniWithPort(port));
    std::string logAfter = ReadFileBytes(ServiceFolder() + L"\\Tonvaled.log");
    EXPECT_EQ(logAfter.compare(0, logBefore.size(), logBefore), 0) << logAfter;
    EXPECT_GT(logAfter.size(), logBefore.size());

    EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(AnswersClose(port));
    EXPECT_FALSE(AnswersClose(4554));
    EXPECT_EQ(QueryServiceConfig().StartType, static_cast<DWORD>(SERVICE_AUTO_START));
}

using SilentUninstall = SetupTest;

TEST_F(SilentUninstall, RemovesServiceFilesAndEntryButKeepsUserFiles) {
    uint16_t port = FreePort();
    ASSERT_TRUE(CreateFolders(ServiceFolder()));
    ASSERT_TRUE(WriteFileBytes(ServiceFolder() + L"\\Tonvaled.ini", IniWithPort(port)));
    ASSERT_EQ(RunSetup(L"/S").ExitCode, 0u);
    ASSERT_TRUE(AnswersClose(port));
    ASSERT_TRUE(WriteFileBytes(DefaultPluginFolder() + L"\\out_tonvale.ini", UserPluginIni));
    ASSERT_TRUE(WriteFileBytes(ServiceFolder() + L"\\Tonvaled.log.old", "<earlier lines>\r\n"));

    ProcessResult removal = RunUninstaller(L"/S");
    ASSERT_FALSE(removal.TimedOut);
    ASSERT_EQ(removal.ExitCode, 0u) << removal.Err;

    EXPECT_EQ(ServiceState(), 0u);
    EXPECT_FALSE(QueryServiceConfig().Found);
    EXPECT_FALSE(AnswersClose(port));
    EXPECT_FALSE(FileExists(ServiceFolder() + L"\\Tonvaled.exe"));
    EXPECT_FALSE(FileExists(ServiceFolder() + L"\\Uninstall.exe"));
    EXPECT_FALSE(FileExists(DefaultPluginFolder() + L"\\out_tonvale.dll"));
    EXPECT_FALSE(UninstallEntryExists());

    EXPECT_EQ(ReadFileBytes(ServiceFolder() + L"\\Tonvaled.ini"), IniWithPort(port));
    EXPECT_TRUE(FileExists(ServiceFolder() + L"\\Tonvaled.log"));
    EXPECT_TRUE(FileExists(ServiceFolder() + L"\\Tonvaled.log.old"));
    EXPECT_EQ(ReadFileBytes(DefaultPluginFolder() + L"\\out_tonvale.ini"), UserPluginIni);
}

// The command Add/Remove Programs runs, with the documented /PURGE: the
// uninstaller continues from a copy of itself, so the test waits for its work.
TEST_F(SilentUninstall, PurgeFromTheRegisteredCommandDeletesSettingsAndLogs) {
    uint16_t port = FreePort();
    ASSERT_TRUE(CreateFolders(ServiceFolder()));
    ASSERT_TRUE(WriteFileBytes(ServiceFolder() + L"\\Tonvaled.ini", IniWithPort(port)));
    ASSERT_EQ(RunSetup(L"/S").ExitCode, 0u);
    ASSERT_TRUE(WriteFileBytes(DefaultPluginFolder() + L"\\out_tonvale.ini", UserPluginIni));
    // The rotated log goes with the log: a file left behind would keep the folder.
    ASSERT_TRUE(WriteFileBytes(ServiceFolder() + L"\\Tonvaled.log.old", "<earlier lines>\r\n"));
    std::wstring command = UninstallEntryValue(L"QuietUninstallString");
    ASSERT_FALSE(command.empty());

    ProcessResult launch = RunProcess(command + L" /PURGE", 30000);
    ASSERT_EQ(launch.ExitCode, 0u);
    for (int i = 0; i < 300 && (UninstallEntryExists() || FolderExists(ServiceFolder())); i++)
        Sleep(100);

    EXPECT_FALSE(UninstallEntryExists());
    EXPECT_FALSE(FolderExists(ServiceFolder()));
    EXPECT_EQ(ServiceState(), 0u);
    EXPECT_FALSE(FolderExists(ProgramFiles() + L"\\Winamp"));
}

using SetupFailure = SetupTest;

TEST_F(SetupFailure, UnknownComponentIsRefusedBeforeAnythingIsInstalled) {
    ProcessResult run = RunSetup(L"/S /COMPONENTS=service,player");
    EXPECT_EQ(run.ExitCode, 3u);
    EXPECT_NE(run.Err.find("Unknown component \"player\""), std::string::npos) << run.Err;
    EXPECT_FALSE(FolderExists(ServiceFolder()));
    EXPECT_EQ(ServiceState(), 0u);
}

TEST_F(SetupFailure, ServiceThatCannotListenFailsTheInstall) {
    EnsureWinsock();
    SOCKET holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    uint16_t port = FreePort();
    address.sin_port = htons(port);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    ASSERT_TRUE(CreateFolders(ServiceFolder()));
    ASSERT_TRUE(WriteFileBytes(ServiceFolder() + L"\\Tonvaled.ini", IniWithPort(port)));

    ProcessResult run = RunSetup(L"/S /COMPONENTS=service");
    closesocket(holder);
    EXPECT_EQ(run.ExitCode, 6u);
    EXPECT_NE(run.Err.find("did not start or did not keep running"), std::string::npos) << run.Err;
    EXPECT_NE(ReadFileBytes(ServiceFolder() + L"\\Tonvaled.log").find("Can't bind address"),
              std::string::npos);
}

TEST_F(SetupFailure, UnwritablePluginFolderIsReported) {
    ASSERT_TRUE(WriteFileBytes(L"C:\\blocker.txt", "a file where a folder is needed"));
    ProcessResult run = RunSetup(L"/S /COMPONENTS=plugin /PLUGINDIR=C:\\blocker.txt\\Plugins");
    EXPECT_EQ(run.ExitCode, 5u);
    EXPECT_NE(run.Err.find("Cannot create the player's Plugins folder C:\\blocker.txt\\Plugins"),
              std::string::npos)
        << run.Err;
}

}  // namespace
