// The configuration dialog: shows the three settings, stores them on OK,
// writes them to the settings file and reconnects with them. Its found list
// (discovery_list.cpp) only fills the fields.
#include "plugin/config_dialog.h"

#include <commctrl.h>
#include <stdio.h>
#include <string.h>

#include "plugin/boxes.h"
#include "plugin/discovery_list.h"
#include "plugin/plugin_state.h"
#include "plugin/resource.h"
#include "plugin/settings.h"
#include "plugin/stream.h"
#include "plugin/stream_state.h"

// Valid only while the dialog is up; Config shows one dialog at a time.
static HWND BufferSlider;

static void ShowBufferLabel(HWND dialog, int value) {
    char text[24];
    snprintf(text, sizeof text, "%d ms", value);
    SetDlgItemTextA(dialog, IDC_BUFFER_LABEL, text);
}

static void FillDialog(HWND dialog) {
    SetDlgItemTextA(dialog, IDC_SERVER_ADDR, PluginState.ServerAddr);
    SetDlgItemInt(dialog, IDC_SERVER_PORT, PluginState.ServerPort, FALSE);
    BufferSlider = GetDlgItem(dialog, IDC_BUFFER_SLIDER);
    ShowBufferLabel(dialog, PluginState.BuffSize);
    SendDlgItemMessageA(dialog, IDC_SERVER_ADDR, EM_LIMITTEXT, MAX_PATH, 0);
    SendMessageA(BufferSlider, TBM_SETRANGE, TRUE, MAKELPARAM(MIN_BUFF_SIZE, MAX_BUFF_SIZE));
    SendMessageA(BufferSlider, TBM_SETTICFREQ, BUFF_TICK_STEP, 0);
    SendMessageA(BufferSlider, TBM_SETPOS, TRUE, PluginState.BuffSize);
    SetUpFoundList(dialog);
}

static void StoreDialog(HWND dialog) {
    GetDlgItemTextA(dialog, IDC_SERVER_ADDR, PluginState.ServerAddr, sizeof PluginState.ServerAddr);
    PluginState.ServerPort =
        static_cast<uint16_t>(GetDlgItemInt(dialog, IDC_SERVER_PORT, nullptr, FALSE));
    PluginState.BuffSize = static_cast<int>(SendMessageA(BufferSlider, TBM_GETPOS, 0, 0));
}

INT_PTR CALLBACK ConfigDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        FillDialog(dialog);
        return TRUE;
    case WM_HSCROLL:
        if (LOWORD(wParam) == TB_THUMBTRACK || LOWORD(wParam) == TB_ENDTRACK)
            ShowBufferLabel(dialog, static_cast<int>(SendMessageA(BufferSlider, TBM_GETPOS, 0, 0)));
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            StoreDialog(dialog);
            EndDialog(dialog, 1);
        } else if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, 0);
        } else if (LOWORD(wParam) == IDC_FIND) {
            FindServices(dialog);
        }
        return TRUE;
    case WM_NOTIFY:
        if (wParam != IDC_FOUND_LIST)
            return FALSE;
        NoteListChange(dialog, reinterpret_cast<const NMHDR *>(lParam));
        return TRUE;
    case WM_FOUND_SERVICE:
        ShowFoundService(dialog, lParam);
        return TRUE;
    case WM_DESTROY:
        EndFinding();
        return FALSE;
    default:
        return FALSE;
    }
}

// The host is expected to have registered the trackbar class; registering it
// here as well costs nothing and keeps the dialog from failing to appear.
// The found list's class is the plug-in's own need.
static void EnsureControlClasses() {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES | ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
}

void __cdecl Config(HWND parent) {
    if (Stream.StreamOpen != 0) {
        MessageBoxA(parent, "Can't change properties while plugin work!", PluginTitle,
                    MB_OK | MB_ICONINFORMATION);
        return;
    }
    EnsureControlClasses();
    INT_PTR result = DialogBoxParamA(PluginState.ModuleInstance, MAKEINTRESOURCEA(IDD_CONFIG),
                                     parent, ConfigDialogProc, 0);
    BufferSlider = nullptr;
    if (result == 0) return;
    WriteSettings();
    Say(ConnectStream());
}
