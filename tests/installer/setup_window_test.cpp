// The setup program's own windows under the X display: the welcome page names
// the version, the components page lists both components, the plug-in's
// directory page can be changed, the finish page follows the installation,
// and the pages are photographed.
#include "setup_fixture.h"

#include <commctrl.h>

namespace {

struct Search {
    const wchar_t *ClassName;
    const wchar_t *TextPart;  // null: any text
    HWND Found;
};

std::wstring WindowText(HWND window) {
    wchar_t text[1024] = {};
    SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_BLOCK,
                        2000, nullptr);
    return text;
}

BOOL CALLBACK MatchChild(HWND window, LPARAM parameter) {
    auto *search = reinterpret_cast<Search *>(parameter);
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    if (!IsWindowVisible(window) || _wcsicmp(className, search->ClassName))
        return TRUE;
    if (search->TextPart && WindowText(window).find(search->TextPart) == std::wstring::npos)
        return TRUE;
    search->Found = window;
    return FALSE;
}

// A visible descendant of `top` of the class, whose text holds `textPart`;
// waits up to timeoutMs for it to appear.
HWND AwaitChild(HWND top, const wchar_t *className, const wchar_t *textPart, DWORD timeoutMs) {
    for (DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(100)) {
        Search search = {className, textPart, nullptr};
        EnumChildWindows(top, MatchChild, reinterpret_cast<LPARAM>(&search));
        if (search.Found)
            return search.Found;
    }
    return nullptr;
}

struct TopSearch {
    DWORD ProcessId;
    HWND Found;
};

BOOL CALLBACK MatchTop(HWND window, LPARAM parameter) {
    auto *search = reinterpret_cast<TopSearch *>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->ProcessId || !IsWindowVisible(window) ||
        WindowText(window).rfind(L"Tonvale Setup", 0) != 0)
        return TRUE;
    search->Found = window;
    return FALSE;
}

HWND AwaitSetupWindow(DWORD processId, DWORD timeoutMs) {
    for (DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(100)) {
        TopSearch search = {processId, nullptr};
        EnumWindows(MatchTop, reinterpret_cast<LPARAM>(&search));
        if (search.Found)
            return search.Found;
    }
    return nullptr;
}

void ClickNext(HWND setup) {
    SendMessageW(GetDlgItem(setup, IDOK), BM_CLICK, 0, 0);
}

// The texts of the tree's top items, read through memory in the setup
// process, since the tree's messages carry pointers.
std::vector<std::wstring> TreeItemTexts(HWND tree, HANDLE process) {
    std::vector<std::wstring> texts;
    const size_t textChars = 256;
    void *remote = VirtualAllocEx(process, nullptr, sizeof(TVITEMW) + textChars * sizeof(wchar_t),
                                  MEM_COMMIT, PAGE_READWRITE);
    if (!remote)
        return texts;
    auto *remoteText = reinterpret_cast<wchar_t *>(static_cast<char *>(remote) + sizeof(TVITEMW));
    for (auto item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0));
         item; item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_NEXT,
                                                               reinterpret_cast<LPARAM>(item)))) {
        TVITEMW query = {};
        query.mask = TVIF_TEXT | TVIF_HANDLE;
        query.hItem = item;
        query.pszText = remoteText;
        query.cchTextMax = textChars;
        WriteProcessMemory(process, remote, &query, sizeof query, nullptr);
        SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(remote));
        wchar_t text[textChars] = {};
        ReadProcessMemory(process, remoteText, text, sizeof text - sizeof(wchar_t), nullptr);
        texts.push_back(text);
    }
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    return texts;
}

// Photographs the whole X display with ImageMagick, a Linux program started
// through its Z: path that takes a Linux path; its exit code does not come
// back reliably. Returns the picture's Windows path.
std::wstring Screenshot(const std::string &name) {
    std::string linuxPath = std::string(SCREENSHOT_DIR) + "/" + name;
    std::wstring folder = L"Z:" + Widen(SCREENSHOT_DIR);
    CreateDirectoryW(folder.c_str(), nullptr);
    std::wstring path = L"Z:" + Widen(linuxPath);
    DeleteFileW(path.c_str());
    RunProcess(L"Z:\\usr\\bin\\import -window root \"" + Widen(linuxPath) + L"\"", 30000);
    // Nor does its end: a PNG is whole once its closing IEND chunk is there.
    for (int i = 0; i < 100; i++, Sleep(100)) {
        std::string png = ReadFileBytes(path);
        if (png.size() > 12 && png.compare(png.size() - 8, 4, "IEND") == 0)
            break;
    }
    return path;
}

void ExpectPicture(const std::wstring &path) {
    std::string png = ReadFileBytes(path);
    ASSERT_GT(png.size(), 8u) << Narrow(path);
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    // A blank screen compresses to a few hundred bytes; a dialog does not.
    EXPECT_GT(png.size(), 5000u);
}

using SetupWindow = SetupTest;

TEST_F(SetupWindow, ComponentsPageAndFinishPageWithAChosenPluginFolder) {
    uint16_t port = FreePort();
    CreateDirectoryW(ServiceFolder().c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(ServiceFolder() + L"\\Tonvaled.ini",
                               "[COMMON]\r\nlisternPort=" + std::to_string(port) + "\r\nAnnounce=0\r\n"));

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::wstring line = L"\"" + BuiltSetup() + L"\"";
    ASSERT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process));
    HWND setup = AwaitSetupWindow(process.dwProcessId, 20000);
    if (!setup)
        TerminateProcess(process.hProcess, 1);
    ASSERT_NE(setup, nullptr);

    const std::wstring version = Widen(TONVALE_VERSION);
    HWND welcome = AwaitChild(setup, L"Static", (L"Welcome to Tonvale " + version + L" Setup").c_str(), 10000);
    EXPECT_NE(welcome, nullptr);
    ExpectPicture(Screenshot("welcome-page.png"));
    ClickNext(setup);

    HWND tree = AwaitChild(setup, WC_TREEVIEWW, nullptr, 10000);
    ASSERT_NE(tree, nullptr);
    std::vector<std::wstring> items = TreeItemTexts(tree, process.hProcess);
    EXPECT_EQ(items, (std::vector<std::wstring>{L"Playback service", L"Player plug-in"}));
    ExpectPicture(Screenshot("components-page.png"));

    ClickNext(setup);
    HWND serviceFolder = AwaitChild(setup, L"Edit", ServiceFolder().c_str(), 10000);
    EXPECT_NE(serviceFolder, nullptr);
    ClickNext(setup);
    HWND pluginFolder = AwaitChild(setup, L"Edit", DefaultPluginFolder().c_str(), 10000);
    ASSERT_NE(pluginFolder, nullptr);
    SendMessageW(pluginFolder, WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>(L"C:\\Chosen Folder\\Plugins"));
    ClickNext(setup);

    HWND finish = AwaitChild(setup, L"Static", L"Completing Tonvale Setup", 60000);
    EXPECT_NE(finish, nullptr);
    EXPECT_NE(AwaitChild(setup, L"Static", (L"Tonvale " + version + L" has been installed.").c_str(), 1000),
              nullptr);
    ExpectPicture(Screenshot("finish-page.png"));
    ClickNext(setup);

    DWORD exitCode = 1;
    if (WaitForSingleObject(process.hProcess, 20000) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 1);
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_EQ(exitCode, 0u);

    EXPECT_EQ(ReadFileBytes(L"C:\\Chosen Folder\\Plugins\\out_tonvale.dll"), BuiltPluginBytes());
    EXPECT_TRUE(AnswersClose(port));
}

}  // namespace
