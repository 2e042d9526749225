// A WH_CBT hook per thread: a window of the dialog class "#32770" that becomes
// active is printed and closed by posting it a command, which its own modal
// loop then carries out.
#include "host/box_dismiss.h"

#include <windows.h>

#include <string>

#include "host/console.h"

namespace {

// A message box's text is the static control with this id.
const int MessageTextId = 0xFFFF;

bool Interactive = false;
thread_local HHOOK Hook = nullptr;
// Marks a box already handled; it goes with the window, so a later box
// that happens to get the same handle is still dismissed.
const char DismissedMark[] = "TvHostDismissed";

std::string WindowText(HWND window) {
    char text[2048] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

// Lines after the first are indented so the box stands out in the output.
std::string Indented(const std::string &text) {
    std::string result;
    bool lineStart = false;
    for (char c : text) {
        if (c == '\r')
            continue;
        if (lineStart && c != '\n')
            result += "    ";
        result += c;
        lineStart = c == '\n';
    }
    while (!result.empty() && result.back() == '\n')
        result.pop_back();
    return result;
}

BOOL CALLBACK PrintControl(HWND child, LPARAM) {
    char className[64] = "";
    GetClassNameA(child, className, sizeof className);
    PrintLine("    control %d (%s): \"%s\"", GetDlgCtrlID(child), className,
              Indented(WindowText(child)).c_str());
    return TRUE;
}

void Dismiss(HWND window) {
    std::string title = WindowText(window);
    HWND text = GetDlgItem(window, MessageTextId);
    if (text) {
        PrintLine("message box \"%s\": %s", title.c_str(), Indented(WindowText(text)).c_str());
        PrintLine("message box \"%s\" confirmed with OK", title.c_str());
        PostMessageA(window, WM_COMMAND, IDOK, 0);
    } else {
        PrintLine("dialog \"%s\":", title.c_str());
        EnumChildWindows(window, PrintControl, 0);
        PrintLine("dialog \"%s\" cancelled", title.c_str());
        PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
    }
}

LRESULT CALLBACK CbtProc(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE) {
        HWND window = (HWND)wParam;
        char className[16] = "";
        GetClassNameA(window, className, sizeof className);
        // Activation can come more than once for one box; one command is enough.
        if (lstrcmpA(className, "#32770") == 0 && !GetPropA(window, DismissedMark)) {
            SetPropA(window, DismissedMark, (HANDLE)1);
            Dismiss(window);
        }
    }
    return CallNextHookEx(Hook, code, wParam, lParam);
}

} // namespace

void LeaveBoxesToUser(bool interactive) { Interactive = interactive; }

void InstallBoxDismisser() {
    if (!Interactive && !Hook)
        Hook = SetWindowsHookExA(WH_CBT, CbtProc, nullptr, GetCurrentThreadId());
}

void RemoveBoxDismisser() {
    if (Hook)
        UnhookWindowsHookEx(Hook);
    Hook = nullptr;
}
