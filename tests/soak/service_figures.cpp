// tvfigures: prints the handle count and private memory of the Tonvaled.exe
// that runs from a given folder, measured the way the C++ tests measure the
// service (FiguresOf), for the Python soak run and the benchmark.
//
//   tvfigures FOLDER      prints "handles H private B" and exits with 0,
//                         or exits with 1 when no such process runs.
//
// Each figure is the least of a few readings close together: the service
// starts a short-lived thread for every finished buffer, and the handle and
// stack of the ones alive at that instant say nothing about a leak.
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

std::wstring Lowered(std::wstring text) {
    for (wchar_t &c : text)
        c = towlower(c);
    return text;
}

// The folder an image path lies in, without the trailing backslash.
std::wstring FolderOf(const std::wstring &path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

bool RunsFrom(DWORD processId, const std::wstring &folder) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!process)
        return false;
    wchar_t image[MAX_PATH * 2];
    DWORD size = sizeof image / sizeof image[0];
    bool same = QueryFullProcessImageNameW(process, 0, image, &size) &&
                Lowered(FolderOf(image)) == Lowered(folder);
    CloseHandle(process);
    return same;
}

// The Windows process id of the Tonvaled.exe started from `folder`, or 0.
DWORD ServiceProcessIn(const std::wstring &folder) {
    for (const ProcessEntry &process : RunningProcesses())
        if (Lowered(process.ImageName) == L"tonvaled.exe" && RunsFrom(process.Id, folder))
            return process.Id;
    return 0;
}

const int Readings = 5;
const DWORD ReadingGapMs = 20;

ProcessFigures LeastFiguresOf(const DaemonCopy &daemon) {
    ProcessFigures least = FiguresOf(daemon);
    for (int i = 1; i < Readings; i++) {
        Sleep(ReadingGapMs);
        ProcessFigures now = FiguresOf(daemon);
        if (now.Handles < least.Handles)
            least.Handles = now.Handles;
        if (now.PrivateBytes < least.PrivateBytes)
            least.PrivateBytes = now.PrivateBytes;
    }
    return least;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: tvfigures FOLDER\n");
        return 2;
    }
    std::wstring folder = argv[1];
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/'))
        folder.pop_back();
    DaemonCopy daemon;
    daemon.Folder = folder;
    daemon.Process.dwProcessId = ServiceProcessIn(folder);
    if (!daemon.Process.dwProcessId) {
        fprintf(stderr, "tvfigures: no Tonvaled.exe runs from %ls\n", folder.c_str());
        return 1;
    }
    ProcessFigures figures = LeastFiguresOf(daemon);
    printf("handles %lu private %lu\n", (unsigned long)figures.Handles,
           (unsigned long)figures.PrivateBytes);
    fflush(stdout);
    return 0;
}
