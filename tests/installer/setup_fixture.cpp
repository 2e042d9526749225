// Running the setup program and its uninstaller, and reading what they left
// in the file system, the registry and the service control manager.
#include "setup_fixture.h"

namespace {

const wchar_t UninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tonvale";

#ifdef _WIN64
const REGSAM SetupView = KEY_WOW64_64KEY;
#else
const REGSAM SetupView = KEY_WOW64_32KEY;
#endif

std::wstring Environment(const wchar_t *name) {
    wchar_t value[MAX_PATH] = {};
    GetEnvironmentVariableW(name, value, MAX_PATH);
    return value;
}

}  // namespace

std::wstring ProgramFiles() { return Environment(L"ProgramFiles"); }
std::wstring ServiceFolder() { return ProgramFiles() + L"\\Tonvale"; }
std::wstring DefaultPluginFolder() { return ProgramFiles() + L"\\Winamp\\Plugins"; }
std::wstring BuiltSetup() { return Widen(TONVALE_SETUP_PATH); }
std::string BuiltServiceBytes() { return ReadFileBytes(Widen(TONVALED_PATH)); }
std::string BuiltPluginBytes() { return ReadFileBytes(Widen(PLUGIN_DLL_PATH)); }

bool FileExists(const std::wstring &path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FolderExists(const std::wstring &path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void RemoveTree(const std::wstring &folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(folder + L"\\" + name);
            else
                DeleteFileW((folder + L"\\" + name).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
    DeleteFileW(folder.c_str());
}

ProcessResult RunSetup(const std::wstring &arguments) {
    return RunProcess(L"\"" + BuiltSetup() + L"\" " + arguments, 90000);
}

ProcessResult RunUninstaller(const std::wstring &arguments) {
    std::wstring copyFolder = MakeTempFolder(L"uninst");
    std::wstring copy = copyFolder + L"\\Uninstall.exe";
    CopyFileW((ServiceFolder() + L"\\Uninstall.exe").c_str(), copy.c_str(), FALSE);
    ProcessResult result =
        RunProcess(L"\"" + copy + L"\" " + arguments + L" _?=" + ServiceFolder(), 90000);
    RemoveTree(copyFolder);
    return result;
}

DWORD ServiceState() {
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(scm, L"Tonvaled", SERVICE_QUERY_STATUS);
    SERVICE_STATUS status = {};
    if (service && !QueryServiceStatus(service, &status))
        status.dwCurrentState = SERVICE_STOPPED;
    CloseServiceHandle(service);
    CloseServiceHandle(scm);
    return status.dwCurrentState;
}

void RemoveService() { RemoveInstalledService(); }

bool UninstallEntryExists() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, UninstallKey, 0, KEY_READ | SetupView, &key))
        return false;
    RegCloseKey(key);
    return true;
}

std::wstring UninstallEntryValue(const wchar_t *name) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, UninstallKey, 0, KEY_READ | SetupView, &key))
        return L"";
    wchar_t value[1024] = {};
    DWORD size = sizeof value - sizeof(wchar_t), type = 0;
    LONG failed = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(value), &size);
    RegCloseKey(key);
    return failed || type != REG_SZ ? L"" : value;
}

DWORD UninstallEntryNumber(const wchar_t *name) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, UninstallKey, 0, KEY_READ | SetupView, &key))
        return MAXDWORD;
    DWORD value = 0, size = sizeof value, type = 0;
    LONG failed = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(&value), &size);
    RegCloseKey(key);
    return failed || type != REG_DWORD ? MAXDWORD : value;
}

DWORD SizeInKilobytes(const std::vector<std::wstring> &files) {
    DWORD bytes = 0;
    for (const std::wstring &file : files)
        bytes += static_cast<DWORD>(ReadFileBytes(file).size());
    return (bytes + 1023) / 1024;
}

void SetRegistryText(HKEY root, const wchar_t *key, const wchar_t *name, const wchar_t *text) {
    HKEY opened;
    ASSERT_EQ(RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_WRITE | SetupView, nullptr,
                              &opened, nullptr),
              0);
    RegSetValueExW(opened, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                   (wcslen(text) + 1) * sizeof(wchar_t));
    RegCloseKey(opened);
}

void DeleteRegistryKey(HKEY root, const wchar_t *key) {
    HKEY opened;
    if (RegOpenKeyExW(root, key, 0, KEY_ALL_ACCESS | SetupView, &opened))
        return;
    RegDeleteTreeW(opened, nullptr);
    RegCloseKey(opened);
    RegDeleteKeyExW(root, key, SetupView, 0);
}

bool AnswersClose(uint16_t port) {
    SOCKET socket = ConnectLoopback(port);
    if (socket == INVALID_SOCKET)
        return false;
    FrameHeader reply = {};
    bool answered = SendFrame(socket, CMD_CLOSE, nullptr, 0) && ReceiveFrame(socket, &reply) &&
                    reply.Code == CMD_CLOSE && reply.Value == 0;
    closesocket(socket);
    return answered;
}

void SetupTest::SetUp() {
    // A build without the plug-in's target makes a setup program without it.
    if (!PLUGIN_DLL_PATH[0])
        GTEST_SKIP() << "this build has no out_tonvale target";
    RemoveEverything();
}

void SetupTest::TearDown() { RemoveEverything(); }

// The folders below C:\ are the tests' own player folders.
void SetupTest::RemoveEverything() {
    RemoveService();
    RemoveTree(ServiceFolder());
    RemoveTree(ProgramFiles() + L"\\Winamp");
    for (const wchar_t *folder :
         {L"C:\\Player Test", L"C:\\Other Player", L"C:\\Chosen Folder", L"C:\\blocker.txt"})
        RemoveTree(folder);
    DeleteRegistryKey(HKEY_LOCAL_MACHINE, UninstallKey);
    DeleteRegistryKey(HKEY_LOCAL_MACHINE,
                      L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Winamp");
    DeleteRegistryKey(HKEY_CURRENT_USER, L"Software\\Winamp");
}
