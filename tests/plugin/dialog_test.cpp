// The configuration dialog for real: its resource, its controls as shown,
// the slider and its label, OK and Cancel with the fields, the INI and the
// reconnection checked afterwards, and the refusal while a stream is open.
#include "plugin_test.h"

#include <commctrl.h>

static const char DialogTitle[] = "Tonvale sound plugin properies";

struct ControlRow {
    int Id;
    const char *Class;
    const char *Text;
    int X, Y, Width, Height;
    LONG Style;  // beyond WS_CHILD | WS_VISIBLE
};

static const ControlRow Rows[] = {
    {IDOK, "Button", "OK", 125, 177, 50, 14, BS_DEFPUSHBUTTON | WS_TABSTOP},
    {IDCANCEL, "Button", "Cancel", 180, 177, 50, 14, BS_PUSHBUTTON | WS_TABSTOP},
    {-1, "Button", "Server address:", 7, 7, 223, 38, BS_GROUPBOX},
    {1001, "Edit", "", 10, 27, 166, 14, ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP},
    {1002, "Edit", "", 176, 27, 50, 14, ES_NUMBER | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP},
    {-1, "Static", "Address:", 15, 18, 30, 8, SS_LEFT | WS_GROUP},
    {-1, "Static", "Port:", 178, 17, 17, 8, SS_LEFT | WS_GROUP},
    {-1, "Button", "Buffer size:", 7, 47, 223, 44, BS_GROUPBOX},
    {1003, "msctls_trackbar32", "", 14, 68, 209, 17, TBS_HORZ | TBS_AUTOTICKS | WS_TABSTOP},
    {1004, "Static", "", 105, 55, 30, 8, SS_LEFT | WS_GROUP},
    {-1, "Button", "On the local network:", 7, 93, 223, 80, BS_GROUPBOX},
    {1005, "Button", "Find", 14, 104, 50, 14, BS_PUSHBUTTON | WS_TABSTOP},
    {1006, "Static", "", 70, 107, 153, 8, SS_LEFT | WS_GROUP},
    {1007, "SysListView32", "", 14, 122, 209, 46,
     LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER | WS_BORDER | WS_TABSTOP},
};

// The bits the table speaks about; windows add state bits of their own.
static const LONG StyleMask = WS_TABSTOP | WS_GROUP | WS_BORDER | 0xFFFF;

static void ExpectLayout(HWND dialog) {
    EXPECT_EQ(WindowText(dialog), DialogTitle);
    LONG style = GetWindowLongA(dialog, GWL_STYLE);
    const DWORD frame = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    EXPECT_EQ(static_cast<DWORD>(style) & frame, frame);
    RECT client;
    GetClientRect(dialog, &client);
    RECT size = {0, 0, 237, 196};
    MapDialogRect(dialog, &size);
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);

    size_t index = 0;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT), ++index) {
        ASSERT_LT(index, sizeof Rows / sizeof Rows[0]);
        const ControlRow &row = Rows[index];
        SCOPED_TRACE(std::string("control ") + std::to_string(index) + " " + row.Text);
        EXPECT_EQ(static_cast<short>(GetDlgCtrlID(child)), row.Id);
        EXPECT_EQ(_stricmp(ClassOf(child).c_str(), row.Class), 0) << ClassOf(child);
        if (row.Id != 1001 && row.Id != 1002 && row.Id != 1004) {
            EXPECT_EQ(WindowText(child), row.Text);
        }
        LONG childStyle = GetWindowLongA(child, GWL_STYLE);
        EXPECT_EQ(childStyle & (WS_CHILD | WS_VISIBLE), WS_CHILD | WS_VISIBLE);
        LONG expected = row.Style;
        if (row.Id == IDOK || row.Id == IDCANCEL) {
            // The dialog manager moves the default-button bit to the focused one.
            EXPECT_EQ(childStyle & (WS_TABSTOP | WS_GROUP | WS_BORDER), expected & WS_TABSTOP);
        } else if (row.Id == 1001 || row.Id == 1002 || row.Id == 1007) {
            // The border of an edit or a list is drawn as a client edge in dialogs.
            LONG exStyle = GetWindowLongA(child, GWL_EXSTYLE);
            EXPECT_TRUE((childStyle & WS_BORDER) || (exStyle & WS_EX_CLIENTEDGE));
            EXPECT_EQ(childStyle & StyleMask & ~WS_BORDER, expected & ~WS_BORDER);
        } else {
            EXPECT_EQ(childStyle & StyleMask, expected);
        }
        // The dialog manager maps the origin and the size each on its own.
        RECT origin = {row.X, row.Y, 0, 0};
        RECT size = {0, 0, row.Width, row.Height};
        MapDialogRect(dialog, &origin);
        MapDialogRect(dialog, &size);
        RECT have;
        GetWindowRect(child, &have);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT *>(&have), 2);
        EXPECT_EQ(have.left, origin.left);
        EXPECT_EQ(have.top, origin.top);
        EXPECT_EQ(have.right - have.left, size.right);
        EXPECT_EQ(have.bottom - have.top, size.bottom);
    }
    EXPECT_EQ(index, sizeof Rows / sizeof Rows[0]);
    // Other programs under test share the display, and a box of theirs can
    // take the activation while this dialog opens. The dialog gives its focus
    // back once it is active again, so the focus is read with it active.
    if (GetActiveWindow() != dialog)
        SetForegroundWindow(dialog);
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, IDOK));
}

static std::string LabelOf(HWND dialog) { return WindowText(GetDlgItem(dialog, 1004)); }

static void PressKey(HWND window, WPARAM key) {
    SendMessageA(window, WM_KEYDOWN, key, 1);
    SendMessageA(window, WM_KEYUP, key, 0xC0000001);
}

static void Click(HWND dialog, int id) { SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

class DialogTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        parent = CreateWindowExA(0, "STATIC", "host", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                 nullptr, nullptr);
    }
    void TearDown() override {
        DestroyWindow(parent);
        PluginTest::TearDown();
    }
    HWND parent = nullptr;
};

TEST_F(DialogTest, ResourceIsTheExtendedTemplate) {
    ASSERT_TRUE(LoadPluginCopy(&plugin, nullptr));
    HRSRC found = FindResourceA(plugin.Module, MAKEINTRESOURCEA(101), MAKEINTRESOURCEA(5));
    ASSERT_NE(found, nullptr);
    const WORD *words = static_cast<const WORD *>(LockResource(LoadResource(plugin.Module, found)));
    EXPECT_EQ(words[0], 1);       // dlgVer
    EXPECT_EQ(words[1], 0xFFFF);  // extended template
    DWORD exStyle, style;
    memcpy(&exStyle, words + 4, 4);
    memcpy(&style, words + 6, 4);
    EXPECT_EQ(exStyle, 0u);
    EXPECT_EQ(style, static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME |
                                        DS_CENTER | DS_SETFONT | DS_FIXEDSYS));
    EXPECT_EQ(words[8], 14);  // controls
    EXPECT_EQ(words[9], 0);   // x
    EXPECT_EQ(words[10], 0);  // y
    EXPECT_EQ(words[11], 237);
    EXPECT_EQ(words[12], 196);
    EXPECT_EQ(words[13], 0);  // no menu
    EXPECT_EQ(words[14], 0);  // standard class
    const WORD *text = words + 15;
    std::wstring title(reinterpret_cast<const wchar_t *>(text));
    EXPECT_EQ(title, L"Tonvale sound plugin properies");
    const WORD *font = text + title.size() + 1;
    EXPECT_EQ(font[0], 8);    // points
    EXPECT_EQ(font[1], 400);  // weight
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t *>(font + 3)), L"MS Shell Dlg");
}

TEST_F(DialogTest, ShowsTheSettingsAndStoresThemOnOk) {
    StartPlugin();
    ScriptServer second;
    ASSERT_TRUE(second.Start());
    std::vector<std::string> labels;
    bool handled = false;
    windows.OnWindow(DialogTitle, [&](HWND dialog) {
        handled = true;
        ExpectLayout(dialog);
        HWND slider = GetDlgItem(dialog, 1003);
        EXPECT_EQ(WindowText(GetDlgItem(dialog, 1001)), "127.0.0.1");
        EXPECT_EQ(WindowText(GetDlgItem(dialog, 1002)), std::to_string(server.Port()));
        EXPECT_EQ(SendDlgItemMessageA(dialog, 1001, EM_GETLIMITTEXT, 0, 0), 260);
        EXPECT_EQ(SendMessageA(slider, TBM_GETRANGEMIN, 0, 0), 200);
        EXPECT_EQ(SendMessageA(slider, TBM_GETRANGEMAX, 0, 0), 20000);
        EXPECT_EQ(SendMessageA(slider, TBM_GETPOS, 0, 0), 2000);
        // A tick every 1000 between the ends, which have their own.
        LRESULT ticks = SendMessageA(slider, TBM_GETNUMTICS, 0, 0);
        EXPECT_GE(ticks, 20);
        EXPECT_LE(ticks, 21);
        EXPECT_EQ(SendMessageA(slider, TBM_GETTIC, 1, 0) - SendMessageA(slider, TBM_GETTIC, 0, 0), 1000);
        EXPECT_EQ(LabelOf(dialog), "2000 ms");
        EXPECT_TRUE(SaveScreenshot(dialog, std::string(PLUGIN_TESTS_LINUX_DIR) + "/config_dialog.png"));

        PressKey(slider, VK_HOME);
        EXPECT_EQ(LabelOf(dialog), "200 ms");
        PressKey(slider, VK_END);
        EXPECT_EQ(LabelOf(dialog), "20000 ms");

        // Dragging the thumb: the label follows before the button is let go.
        RECT thumb;
        SendMessageA(slider, TBM_GETTHUMBRECT, 0, reinterpret_cast<LPARAM>(&thumb));
        RECT channel;
        SendMessageA(slider, TBM_GETCHANNELRECT, 0, reinterpret_cast<LPARAM>(&channel));
        int y = (thumb.top + thumb.bottom) / 2;
        int x = (thumb.left + thumb.right) / 2;
        SendMessageA(slider, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
        int middle = (channel.left + channel.right) / 2;
        SendMessageA(slider, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(middle, y));
        labels.push_back(LabelOf(dialog));
        labels.push_back(std::to_string(SendMessageA(slider, TBM_GETPOS, 0, 0)) + " ms");
        SendMessageA(slider, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(channel.right + 50, y));
        labels.push_back(LabelOf(dialog));
        SendMessageA(slider, WM_LBUTTONUP, 0, MAKELPARAM(channel.right + 50, y));
        labels.push_back(LabelOf(dialog));

        SetDlgItemTextA(dialog, 1001, "localhost");
        SetDlgItemTextA(dialog, 1002, std::to_string(second.Port()).c_str());
        Click(dialog, IDOK);
    });
    out->Config(parent);
    ASSERT_TRUE(handled);
    ASSERT_EQ(labels.size(), 4u);
    EXPECT_EQ(labels[0], labels[1]);
    EXPECT_NE(labels[0], "20000 ms");
    EXPECT_EQ(labels[2], "20000 ms");
    EXPECT_EQ(labels[3], "20000 ms");

    EXPECT_EQ(ReadWholeFile(plugin.IniPath),
              "[COMMON]\r\nServerAddr=localhost\r\nServerPort=" + std::to_string(second.Port()) +
                  "\r\nBuffSize=20000\r\n");
    EXPECT_TRUE(server.WaitForPeerGone());
    EXPECT_TRUE(second.WaitForConnections(1));
    EXPECT_TRUE(windows.Boxes().empty());
    EXPECT_EQ(out->Open(8000, 1, 8, -1, -1), 20000);
    EXPECT_EQ(out->CanWrite(), 8 * 20000);
    EXPECT_EQ(second.FramesOf(CMD_OPEN).size(), 1u);
    EXPECT_EQ(server.FramesOf(CMD_OPEN).size(), 0u);
    out->Close();
    second.Stop();
}

TEST_F(DialogTest, CancelChangesNothing) {
    StartPlugin();
    std::string ini = ReadWholeFile(plugin.IniPath);
    windows.OnWindow(DialogTitle, [&](HWND dialog) {
        SetDlgItemTextA(dialog, 1001, "elsewhere");
        SetDlgItemTextA(dialog, 1002, "1");
        PressKey(GetDlgItem(dialog, 1003), VK_HOME);
        Click(dialog, IDCANCEL);
    });
    out->Config(parent);
    EXPECT_EQ(ReadWholeFile(plugin.IniPath), ini);
    EXPECT_EQ(server.Connections(), 1);
    EXPECT_FALSE(server.WaitForPeerGone(200));
    EXPECT_EQ(out->Open(44100, 2, 16, -1, -1), 2000);
    EXPECT_TRUE(windows.Boxes().empty());
}

TEST_F(DialogTest, OkWithoutChangesStillReconnects) {
    StartPlugin();
    windows.OnWindow(DialogTitle, [&](HWND dialog) { Click(dialog, IDOK); });
    out->Config(parent);
    EXPECT_TRUE(server.WaitForConnections(2));
    EXPECT_EQ(ReadWholeFile(plugin.IniPath), IniFor(server.Port()));
    EXPECT_EQ(out->Open(44100, 2, 16, -1, -1), 2000);
    EXPECT_EQ(server.FramesOf(CMD_OPEN)[0].Connection, 1);
}

TEST_F(DialogTest, FieldsAreCutToTheirSizes) {
    LoadWithIni("[COMMON]\r\nServerAddr=127.0.0.1\r\nServerPort=" + std::to_string(server.Port()) +
                "\r\nBuffSize=50\r\n");
    InitPlugin();
    ASSERT_TRUE(server.WaitForConnections(1));
    std::string longAddress(260, 'a');
    windows.OnWindow(DialogTitle, [&](HWND dialog) {
        EXPECT_EQ(LabelOf(dialog), "50 ms");
        EXPECT_EQ(SendDlgItemMessageA(dialog, 1003, TBM_GETPOS, 0, 0), 200);
        // Typed, so that the edit's limit and digits-only rule apply.
        HWND address = GetDlgItem(dialog, 1001);
        SetWindowTextA(address, "");
        for (char c : longAddress) SendMessageA(address, WM_CHAR, c, 1);
        EXPECT_EQ(WindowText(address).size(), 260u);
        HWND port = GetDlgItem(dialog, 1002);
        SetWindowTextA(port, "");
        for (char c : std::string("7x0000")) SendMessageA(port, WM_CHAR, c, 1);
        Click(dialog, IDOK);
    });
    out->Config(parent);
    // 70000 keeps its low 16 bits; 259 characters of the address are kept,
    // and a name that resolves nowhere leaves no link.
    EXPECT_EQ(ReadWholeFile(plugin.IniPath), "[COMMON]\r\nServerAddr=" + longAddress.substr(0, 259) +
                                                 "\r\nServerPort=4464\r\nBuffSize=200\r\n");
    std::vector<CaughtBox> boxes = windows.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Text, "No server connection!");
    EXPECT_EQ(boxes[0].Icon, static_cast<UINT>(MB_ICONERROR));
    EXPECT_EQ(boxes[0].Owner, nullptr);
    EXPECT_TRUE(server.WaitForPeerGone());
}

TEST_F(DialogTest, RefusedWhileAStreamIsOpen) {
    StartPlugin();
    ASSERT_EQ(out->Open(44100, 2, 16, -1, -1), 2000);
    bool dialogShown = false;
    windows.OnWindow(DialogTitle, [&](HWND dialog) {
        dialogShown = true;
        Click(dialog, IDCANCEL);
    });
    std::string ini = ReadWholeFile(plugin.IniPath);
    out->Config(parent);
    EXPECT_FALSE(dialogShown);
    std::vector<CaughtBox> boxes = windows.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Text, "Can't change properties while plugin work!");
    EXPECT_EQ(boxes[0].Title, "Tonvale output plugin v1.0 (x86)");
    EXPECT_EQ(boxes[0].Icon, static_cast<UINT>(MB_ICONINFORMATION));
    EXPECT_EQ(boxes[0].Owner, parent);
    ASSERT_EQ(boxes[0].Buttons.size(), 1u);
    EXPECT_EQ(boxes[0].Buttons[0].first, IDOK);
    EXPECT_EQ(ReadWholeFile(plugin.IniPath), ini);
    EXPECT_EQ(server.Connections(), 1);

    out->Close();
    out->Config(parent);
    EXPECT_TRUE(dialogShown);
}
