// The dialog's Find button against real responders. It needs a network with
// services on it, so the suite runs it only inside the discovery test's own
// network (tests/discovery), which names what must be listed in
// TONVALE_EXPECT_FOUND ("name|address|port" entries joined by ';'), the row
// to choose in TONVALE_CHOOSE_FOUND, and where the screenshot goes in
// TONVALE_FOUND_SHOT.
#include "plugin_test.h"

#include <commctrl.h>

#include <sstream>

static const char DialogTitle[] = "Tonvale sound plugin properies";

struct ExpectedService {
    std::string Name, Address, Port;
};

static std::vector<ExpectedService> ExpectedFound() {
    std::vector<ExpectedService> expected;
    const char *text = getenv("TONVALE_EXPECT_FOUND");
    std::stringstream entries(text ? text : "");
    std::string entry;
    while (std::getline(entries, entry, ';')) {
        ExpectedService service;
        std::stringstream fields(entry);
        std::getline(fields, service.Name, '|');
        std::getline(fields, service.Address, '|');
        std::getline(fields, service.Port, '|');
        expected.push_back(service);
    }
    return expected;
}

static std::string Cell(HWND list, int row, int column) {
    char text[256] = "";
    LVITEMA cell = {};
    cell.iSubItem = column;
    cell.pszText = text;
    cell.cchTextMax = sizeof text;
    SendMessageA(list, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&cell));
    return text;
}

static int RowNamed(HWND list, const std::string &name) {
    int rows = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    for (int row = 0; row < rows; row++)
        if (Cell(list, row, 0) == name)
            return row;
    return -1;
}

// Runs the dialog's messages until the search reports its end.
static std::string AwaitSearchEnd(HWND dialog) {
    DWORD start = GetTickCount();
    std::string status;
    while (Since(start) < 10000) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        status = WindowText(GetDlgItem(dialog, 1006));
        if (status.rfind("Looking", 0) != 0)
            break;
        Sleep(20);
    }
    return status;
}

// Finds, checks the list and chooses; the caller closes the dialog whatever
// failed here.
static void SearchAndChoose(HWND dialog, const std::vector<ExpectedService> &expected,
                            const char *chosen, const char *shot, uint16_t port) {
    HWND list = GetDlgItem(dialog, 1007);
    SendDlgItemMessageA(dialog, 1005, BM_CLICK, 0, 0);
    // The click has returned before the search ends: it runs elsewhere.
    EXPECT_EQ(WindowText(GetDlgItem(dialog, 1006)), "Looking on the local network...");
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, 1005)));
    std::string status = AwaitSearchEnd(dialog);
    int rows = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    EXPECT_EQ(status, "Found " + std::to_string(rows) + "; choose one to use it.");
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, 1005)));
    for (const ExpectedService &service : expected) {
        SCOPED_TRACE(service.Name);
        int row = RowNamed(list, service.Name);
        ASSERT_GE(row, 0);
        EXPECT_EQ(Cell(list, row, 2), service.Address);
        EXPECT_EQ(Cell(list, row, 3), service.Port);
        EXPECT_NE(Cell(list, row, 1).find(".local"), std::string::npos);
    }
    // Found is not chosen: the fields are as they were.
    EXPECT_EQ(WindowText(GetDlgItem(dialog, 1001)), "127.0.0.1");
    EXPECT_EQ(WindowText(GetDlgItem(dialog, 1002)), std::to_string(port));

    int row = RowNamed(list, chosen);
    ASSERT_GE(row, 0);
    LVITEMA state = {};
    state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    state.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageA(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&state));
    EXPECT_EQ(WindowText(GetDlgItem(dialog, 1001)), Cell(list, row, 2));
    EXPECT_EQ(WindowText(GetDlgItem(dialog, 1002)), Cell(list, row, 3));
    EXPECT_TRUE(SaveScreenshot(dialog, shot));
}

class DiscoveryDialog : public PluginTest {};

TEST_F(DiscoveryDialog, ListsTheServicesOnTheNetworkAndFillsTheChosenOne) {
    std::vector<ExpectedService> expected = ExpectedFound();
    ASSERT_FALSE(expected.empty()) << "TONVALE_EXPECT_FOUND names no service";
    const char *chosen = getenv("TONVALE_CHOOSE_FOUND");
    const char *shot = getenv("TONVALE_FOUND_SHOT");
    ASSERT_TRUE(chosen && shot);
    StartPlugin();
    std::string ini = ReadWholeFile(plugin.IniPath);
    bool handled = false;
    windows.OnWindow(DialogTitle, [&](HWND dialog) {
        handled = true;
        SearchAndChoose(dialog, expected, chosen, shot, server.Port());
        SendDlgItemMessageA(dialog, IDCANCEL, BM_CLICK, 0, 0);
    });
    HWND parent = CreateWindowExA(0, "STATIC", "host", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                  nullptr, nullptr);
    out->Config(parent);
    DestroyWindow(parent);
    EXPECT_TRUE(handled);
    EXPECT_EQ(ReadWholeFile(plugin.IniPath), ini);
}
