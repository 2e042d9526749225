// The found list: a report-style list view with the instance name, host,
// address and port of each service, rows kept in the order found.
#include "plugin/discovery_list.h"

#include <commctrl.h>
#include <stdio.h>
#include <string.h>

#include "plugin/discovery.h"
#include "plugin/resource.h"

// Valid only while the dialog is up; Config shows one dialog at a time.
static FoundService Rows[32];
static int RowCount;

static HWND ListOf(HWND dialog) {
    return GetDlgItem(dialog, IDC_FOUND_LIST);
}

void SetUpFoundList(HWND dialog) {
    HWND list = ListOf(dialog);
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    static const wchar_t *const titles[] = {L"Name", L"Host", L"Address", L"Port"};
    static const int widths[] = {72, 58, 52, 24}; // dialog units
    for (int i = 0; i < 4; i++) {
        RECT width = {0, 0, widths[i], 0};
        MapDialogRect(dialog, &width);
        LVCOLUMNW column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.cx = width.right;
        column.pszText = const_cast<wchar_t *>(titles[i]);
        SendMessageW(list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
    }
    RowCount = 0;
}

void FindServices(HWND dialog) {
    EndFinding();
    SendMessageW(ListOf(dialog), LVM_DELETEALLITEMS, 0, 0);
    RowCount = 0;
    if (!StartDiscovery(dialog, WM_FOUND_SERVICE)) {
        SetDlgItemTextA(dialog, IDC_FIND_STATUS, "Can't look on the local network.");
        return;
    }
    EnableWindow(GetDlgItem(dialog, IDC_FIND), FALSE);
    SetDlgItemTextA(dialog, IDC_FIND_STATUS, "Looking on the local network...");
}

static void SetCell(HWND list, int row, int column, const wchar_t *text) {
    LVITEMW cell = {};
    cell.iSubItem = column;
    cell.pszText = const_cast<wchar_t *>(text);
    SendMessageW(list, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&cell));
}

static void ShowRow(HWND list, int row) {
    const FoundService &found = Rows[row];
    if (row >= static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0))) {
        LVITEMW item = {};
        item.mask = LVIF_TEXT | LVIF_PARAM;
        item.iItem = row;
        item.lParam = row;
        item.pszText = const_cast<wchar_t *>(found.Name);
        SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    }
    wchar_t text[256];
    MultiByteToWideChar(CP_UTF8, 0, found.Host, -1, text, 256);
    SetCell(list, row, 1, text);
    MultiByteToWideChar(CP_UTF8, 0, found.Address, -1, text, 256);
    SetCell(list, row, 2, text);
    swprintf(text, 256, L"%u", found.Port);
    SetCell(list, row, 3, text);
}

void ShowFoundService(HWND dialog, LPARAM found) {
    if (found == 0) {
        EndFinding();
        EnableWindow(GetDlgItem(dialog, IDC_FIND), TRUE);
        char status[64];
        if (RowCount > 0)
            snprintf(status, sizeof status, "Found %d; choose one to use it.", RowCount);
        else
            snprintf(status, sizeof status, "None found; type the address.");
        SetDlgItemTextA(dialog, IDC_FIND_STATUS, status);
        return;
    }
    FoundService *service = reinterpret_cast<FoundService *>(found);
    int row = 0;
    while (row < RowCount && wcscmp(Rows[row].Name, service->Name) != 0)
        row++;
    if (row < static_cast<int>(sizeof Rows / sizeof Rows[0])) {
        Rows[row] = *service;
        if (row == RowCount)
            RowCount++;
        ShowRow(ListOf(dialog), row);
    }
    delete service;
}

// Choosing a row: the address (the host's name when no address came) and
// the port go into the fields, where OK stores them as if typed.
void NoteListChange(HWND dialog, const NMHDR *notice) {
    if (notice->code != LVN_ITEMCHANGED)
        return;
    const NMLISTVIEW *change = reinterpret_cast<const NMLISTVIEW *>(notice);
    if (!(change->uNewState & LVIS_SELECTED) || (change->uOldState & LVIS_SELECTED) ||
        change->lParam < 0 || change->lParam >= RowCount)
        return;
    const FoundService &found = Rows[change->lParam];
    SetDlgItemTextA(dialog, IDC_SERVER_ADDR, found.Address[0] ? found.Address : found.Host);
    SetDlgItemInt(dialog, IDC_SERVER_PORT, found.Port, FALSE);
}

void EndFinding() {
    StopDiscovery();
}
