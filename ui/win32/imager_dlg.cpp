#include "imager_dlg.h"

#include <commctrl.h>
#include <commdlg.h>
#include <dbt.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "about_dlg.h"
#include "image_file_filters.h"
#include "resource_ids.h"
#include "write_confirmation.h"

namespace {

constexpr UINT_PTR kTimerId = 1;
constexpr UINT kTimerPeriodMs = 1000;

// A card's arrival is announced for the disk and then for each of its volumes.
constexpr UINT_PTR kRefreshDelayTimerId = 2;
constexpr UINT kRefreshDelayMs = 400;

// The disk device interface class, GUID_DEVINTERFACE_DISK.
constexpr GUID kDiskInterface = {
    0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
constexpr DWORD kHelpContextBase = 0x20000;

std::string ModulePath() {
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, sizeof path);
    return path;
}

// The executable's file name without its folder and extension: the program's name.
std::string ProgramName() {
    std::string name = ModulePath();
    name = name.substr(name.find_last_of("\\/") + 1);
    return name.substr(0, name.rfind('.'));
}

// The progress display of one card, hidden while several cards show a row each.
constexpr int kSingleProgress[] = {
    IDC_PROGRESS, IDC_PERCENT,       IDC_TIME_ELAPSED,    IDC_TIME_REMAINING, IDC_TOTAL_TIME,
    IDC_SPEED,    IDC_ELAPSED_LABEL, IDC_REMAINING_LABEL, IDC_TOTAL_LABEL,    IDC_SPEED_LABEL};

// A card's row is a little taller than a line, for its bar.
constexpr LRESULT kRowPadding = 4;

// A list box entry's text.
std::string ListText(HWND list, int row) {
    const LRESULT length = ::SendMessageA(list, LB_GETTEXTLEN, static_cast<WPARAM>(row), 0);
    std::string text(static_cast<std::size_t>(length < 0 ? 0 : length) + 1, '\0');
    ::SendMessageA(list, LB_GETTEXT, static_cast<WPARAM>(row),
                   reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(length < 0 ? 0 : length));
    return text;
}

// A multi-line edit control breaks lines only at CR LF.
std::string WithCarriageReturns(const std::string& text) {
    std::string result;
    for (const char c : text) {
        if (c == '\n') {
            result += '\r';
        }
        result += c;
    }
    return result;
}

std::string WindowText(HWND window) {
    std::string text(static_cast<std::size_t>(::GetWindowTextLengthA(window)) + 1, '\0');
    text.resize(static_cast<std::size_t>(
        ::GetWindowTextA(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

}  // namespace

CImagerDlg::CImagerDlg(HWND parent)
    : m_parent(parent),
      m_hIcon(::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME))),
      m_logic(*this, m_clock, m_run) {}

INT_PTR CImagerDlg::DoModal() {
    m_modal = true;
    return ::DialogBoxParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_MAIN), m_parent,
                             DialogProc, reinterpret_cast<LPARAM>(this));
}

HWND CImagerDlg::Create() {
    m_modal = false;
    return ::CreateDialogParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_MAIN), m_parent,
                                DialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CImagerDlg::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        ::SetWindowLongPtrA(window, DWLP_USER, lParam);
        reinterpret_cast<CImagerDlg*>(lParam)->m_hWnd = window;
    }
    auto* dialog = reinterpret_cast<CImagerDlg*>(::GetWindowLongPtrA(window, DWLP_USER));
    return dialog != nullptr ? dialog->HandleMessage(message, wParam, lParam) : FALSE;
}

// FALSE leaves a message to the dialog manager's default handling.
INT_PTR CImagerDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            return OnInitDialog();
        case WM_SYSCOMMAND:
            return OnSysCommand(static_cast<UINT>(wParam)) ? TRUE : FALSE;
        case WM_PAINT:
            return OnPaint() ? TRUE : FALSE;
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(OnQueryDragIcon());
        case WM_COMMAND:
            if (LOWORD(wParam) == IDC_DEVICE_LIST && HIWORD(wParam) == LBN_SELCHANGE) {
                m_logic.OnSelectionChanged();
                return TRUE;
            }
            if (HIWORD(wParam) == BN_CLICKED) {
                OnCommand(LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        case WM_VKEYTOITEM:
            return OnListKey(LOWORD(wParam));
        case WM_DRAWITEM:
            if (wParam == IDC_CARD_ROWS) {
                DrawCardRow(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
                return TRUE;
            }
            return FALSE;
        case WM_TIMER:
            OnTimer(static_cast<UINT_PTR>(wParam));
            return TRUE;
        case WM_DEVICECHANGE:
            if (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE ||
                wParam == DBT_DEVNODES_CHANGED) {
                m_logic.OnDrivesChanged();
            }
            return TRUE;
        case WM_DESTROY:
            if (m_diskNotification != nullptr) {
                ::UnregisterDeviceNotification(m_diskNotification);
                m_diskNotification = nullptr;
            }
            return FALSE;
        case WM_HELP:
            OnHelp();
            return TRUE;
        default:
            return FALSE;
    }
}

BOOL CImagerDlg::OnInitDialog() {
    ::CheckRadioButton(m_hWnd, IDC_READ_MODE, IDC_WRITE_MODE, IDC_READ_MODE);
    AddAboutEntry();
    ::SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    ::SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kDiskInterface;
    m_diskNotification =
        ::RegisterDeviceNotificationA(m_hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    const LRESULT textHeight =
        ::SendDlgItemMessageA(m_hWnd, IDC_DEVICE_LIST, LB_GETITEMHEIGHT, 0, 0);
    ::SendDlgItemMessageA(m_hWnd, IDC_CARD_ROWS, LB_SETITEMHEIGHT, 0,
                          MAKELPARAM(textHeight + kRowPadding, 0));
    m_logic.OnInitDialog();
    return TRUE;  // the focus goes to the first tab stop, Start
}

void CImagerDlg::OnTimer(UINT_PTR id) {
    if (id == kRefreshDelayTimerId) {
        ::KillTimer(m_hWnd, kRefreshDelayTimerId);
        m_logic.OnRefreshDelayOver();
        return;
    }
    m_logic.OnTimer();
}

void CImagerDlg::AddAboutEntry() {
    HMENU systemMenu = ::GetSystemMenu(m_hWnd, FALSE);
    char text[64] = {};
    if (systemMenu == nullptr ||
        ::LoadStringA(::GetModuleHandleA(nullptr), IDS_ABOUTBOX, text, sizeof text) <= 0) {
        return;
    }
    ::AppendMenuA(systemMenu, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuA(systemMenu, MF_STRING, IDM_ABOUTBOX, text);
}

// The platform uses the low four bits of system commands itself.
bool CImagerDlg::OnSysCommand(UINT id) {
    if ((id & 0xFFF0) != IDM_ABOUTBOX) {
        return false;
    }
    CAboutDlg(m_hWnd).DoModal();
    return true;
}

bool CImagerDlg::OnPaint() {
    if (!::IsIconic(m_hWnd)) {
        return false;
    }
    PAINTSTRUCT paint{};
    HDC context = ::BeginPaint(m_hWnd, &paint);
    ::SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(context), 0);
    RECT client{};
    ::GetClientRect(m_hWnd, &client);
    ::DrawIcon(context, IconOffset(client.right - client.left, ::GetSystemMetrics(SM_CXICON)),
               IconOffset(client.bottom - client.top, ::GetSystemMetrics(SM_CYICON)), m_hIcon);
    ::EndPaint(m_hWnd, &paint);
    return true;
}

void CImagerDlg::OnCommand(int id) {
    switch (id) {
        case IDC_SELECT:
            OnSelect();
            break;
        case IDC_REFRESH:
            m_logic.OnRefresh();
            break;
        case IDOK:
            m_logic.OnStart();
            break;
        case IDCANCEL:
            m_logic.OnExit();
            break;
        case IDC_READ_MODE:
        case IDC_WRITE_MODE:
            m_logic.OnDirectionChanged();
            break;
        default:
            break;
    }
}

// Reading, a save-style chooser: it asks before an existing file is chosen, since Start then
// replaces it. Writing, an open-style one: the image must exist, and nothing is replaced.
void CImagerDlg::OnSelect() {
    char path[MAX_PATH] = "*.*";
    OPENFILENAMEA chooser{};
    chooser.lStructSize = sizeof chooser;
    chooser.hwndOwner = m_hWnd;
    chooser.lpstrFile = path;
    chooser.nMaxFile = sizeof path;
    const bool writing = m_logic.WritesToCard();
    std::string filters;
    const auto add = [&filters](const ui::ImageFileFilter& filter) {
        filters.append(filter.label).append(1, '\0').append(filter.pattern).append(1, '\0');
    };
    if (writing) {
        std::for_each(ui::kSourceImageFilters.begin(), ui::kSourceImageFilters.end(), add);
    } else {
        std::for_each(ui::kImageFileFilters.begin(), ui::kImageFileFilters.end(), add);
    }
    chooser.lpstrFilter = filters.c_str();  // the string's own terminator ends the list
    chooser.Flags = OFN_HIDEREADONLY | OFN_EXPLORER |
                    (writing                     ? OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST
                     : m_logic.ReadsIntoFolder() ? 0
                                                 : OFN_OVERWRITEPROMPT);
    if (writing ? ::GetOpenFileNameA(&chooser) : ::GetSaveFileNameA(&chooser)) {
        ::SetDlgItemTextA(m_hWnd, IDC_IMAGE_PATH, path);
    }
}

void CImagerDlg::OnHelp() {
    std::string helpFile = ModulePath();
    helpFile = helpFile.substr(0, helpFile.rfind('.')) + ".HLP";
    if (!::WinHelpA(m_hWnd, helpFile.c_str(), HELP_CONTEXT, kHelpContextBase + IDD_MAIN)) {
        ::MessageBoxA(m_hWnd, "Failed to launch help.", ProgramName().c_str(), MB_OK);
    }
}

void CImagerDlg::ResetDeviceList() {
    ::SendDlgItemMessageA(m_hWnd, IDC_DEVICE_LIST, LB_RESETCONTENT, 0, 0);
}

void CImagerDlg::AddDeviceEntry(const std::string& text, const std::string& /*details*/) {
    ::SendDlgItemMessageA(m_hWnd, IDC_DEVICE_LIST, LB_ADDSTRING, 0,
                          reinterpret_cast<LPARAM>(text.c_str()));
}

std::vector<std::string> CImagerDlg::SelectedDeviceEntries() const {
    HWND list = ::GetDlgItem(m_hWnd, IDC_DEVICE_LIST);
    const LRESULT count = ::SendMessageA(list, LB_GETSELCOUNT, 0, 0);
    std::vector<int> rows(static_cast<std::size_t>(count > 0 ? count : 0));
    if (!rows.empty()) {
        ::SendMessageA(list, LB_GETSELITEMS, rows.size(), reinterpret_cast<LPARAM>(rows.data()));
    }
    std::vector<std::string> texts;
    for (const int row : rows) {
        texts.push_back(ListText(list, row));
    }
    return texts;
}

void CImagerDlg::SelectDeviceEntries(const std::vector<std::string>& texts) {
    HWND list = ::GetDlgItem(m_hWnd, IDC_DEVICE_LIST);
    ::SendMessageA(list, LB_SETSEL, FALSE, -1);
    for (const std::string& text : texts) {
        const LRESULT row = ::SendMessageA(list, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                           reinterpret_cast<LPARAM>(text.c_str()));
        if (row != LB_ERR) {
            ::SendMessageA(list, LB_SETSEL, TRUE, row);
        }
    }
}

// Shift and Ctrl with the arrows, Space and clicks select as every list of several does; Ctrl+A
// selects them all, which a list box leaves to its owner. -1: the list box goes on as usual.
INT_PTR CImagerDlg::OnListKey(WORD key) {
    if (key != 'A' || (::GetKeyState(VK_CONTROL) & 0x8000) == 0) {
        return -1;
    }
    ::SendDlgItemMessageA(m_hWnd, IDC_DEVICE_LIST, LB_SETSEL, TRUE, -1);
    m_logic.OnSelectionChanged();
    return -2;
}

bool CImagerDlg::IsControlChecked(int controlId) const {
    return ::IsDlgButtonChecked(m_hWnd, controlId) == BST_CHECKED;
}

void CImagerDlg::SetControlChecked(int controlId, bool checked) {
    ::CheckDlgButton(m_hWnd, controlId, checked ? BST_CHECKED : BST_UNCHECKED);
}

void CImagerDlg::ClearDeviceSelection() {
    ::SendDlgItemMessageA(m_hWnd, IDC_DEVICE_LIST, LB_SETSEL, FALSE, -1);
}

namespace {

// What the confirmation box shows and when its Write may accept.
struct Confirmation {
    const std::string* text;
    const ui::Clock* clock;
    std::int64_t opened;
};

constexpr UINT_PTR kConfirmGuardTimerId = 1;
constexpr UINT kConfirmPollMs = 200;

INT_PTR CALLBACK ConfirmProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            ::SetWindowLongPtrA(box, DWLP_USER, lParam);
            const auto* confirmation = reinterpret_cast<const Confirmation*>(lParam);
            ::SetDlgItemTextA(box, IDC_CONFIRM_TEXT,
                              WithCarriageReturns(*confirmation->text).c_str());
            ::SetTimer(box, kConfirmGuardTimerId, kConfirmPollMs, nullptr);
            ::SetFocus(::GetDlgItem(box, IDCANCEL));
            return FALSE;
        }
        case WM_TIMER: {
            const auto* confirmation =
                reinterpret_cast<const Confirmation*>(::GetWindowLongPtrA(box, DWLP_USER));
            const bool may =
                ui::WriteMayBeAccepted(confirmation->opened, confirmation->clock->Now());
            ::EnableWindow(::GetDlgItem(box, IDOK), may ? TRUE : FALSE);
            return TRUE;
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK && ::IsWindowEnabled(::GetDlgItem(box, IDOK))) {
                ::KillTimer(box, kConfirmGuardTimerId);
                ::EndDialog(box, IDOK);
            } else if (LOWORD(wParam) == IDCANCEL) {
                ::KillTimer(box, kConfirmGuardTimerId);
                ::EndDialog(box, IDCANCEL);
            }
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

bool CImagerDlg::ConfirmWrite(const std::string& text) {
    const Confirmation confirmation{&text, &m_clock, m_clock.Now()};
    return ::DialogBoxParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_CONFIRM_WRITE),
                             m_hWnd, ConfirmProc, reinterpret_cast<LPARAM>(&confirmation)) == IDOK;
}

std::string CImagerDlg::ImagePathText() const {
    return WindowText(::GetDlgItem(m_hWnd, IDC_IMAGE_PATH));
}

void CImagerDlg::SetControlText(int controlId, const std::string& text) {
    ::SetDlgItemTextA(m_hWnd, controlId, text.c_str());
}

void CImagerDlg::EnableControl(int controlId, bool enabled) {
    ::EnableWindow(::GetDlgItem(m_hWnd, controlId), enabled ? TRUE : FALSE);
}

void CImagerDlg::SetProgressPosition(int percent) {
    ::SendDlgItemMessageA(m_hWnd, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

void CImagerDlg::ShowCardRows(const std::vector<std::string>& names) {
    HWND rows = ::GetDlgItem(m_hWnd, IDC_CARD_ROWS);
    ::SendMessageA(rows, LB_RESETCONTENT, 0, 0);
    for (const std::string& name : names) {
        const std::string row = name + "\t0\t\t";
        ::SendMessageA(rows, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(row.c_str()));
    }
    ::ShowWindow(rows, names.empty() ? SW_HIDE : SW_SHOW);
    for (const int id : kSingleProgress) {
        ::ShowWindow(::GetDlgItem(m_hWnd, id), names.empty() ? SW_SHOW : SW_HIDE);
    }
}

// A row's string holds its four fields, tab-separated: name, percent, speed, state.
void CImagerDlg::SetCardRow(std::size_t row, int percent, const std::string& speed,
                            const std::string& state) {
    HWND rows = ::GetDlgItem(m_hWnd, IDC_CARD_ROWS);
    const std::string name = ListText(rows, static_cast<int>(row));
    const std::string text = name.substr(0, name.find('\t')) + "\t" + std::to_string(percent) +
                             "\t" + speed + "\t" + state;
    // A list box changes an entry's text only by taking it out and putting it back: drawn once,
    // at the end, it neither flickers nor jumps.
    const LRESULT top = ::SendMessageA(rows, LB_GETTOPINDEX, 0, 0);
    ::SendMessageA(rows, WM_SETREDRAW, FALSE, 0);
    ::SendMessageA(rows, LB_DELETESTRING, row, 0);
    ::SendMessageA(rows, LB_INSERTSTRING, row, reinterpret_cast<LPARAM>(text.c_str()));
    ::SendMessageA(rows, LB_SETTOPINDEX, static_cast<WPARAM>(top), 0);
    ::SendMessageA(rows, WM_SETREDRAW, TRUE, 0);
    ::InvalidateRect(rows, nullptr, FALSE);
}

// Name, a bar, then speed and state, across the row.
void CImagerDlg::DrawCardRow(const DRAWITEMSTRUCT& item) {
    if (item.itemID == static_cast<UINT>(-1)) {
        return;
    }
    std::vector<std::string> fields;
    std::string text = ListText(item.hwndItem, static_cast<int>(item.itemID));
    for (std::size_t tab; (tab = text.find('\t')) != std::string::npos;) {
        fields.push_back(text.substr(0, tab));
        text.erase(0, tab + 1);
    }
    fields.push_back(text);
    fields.resize(4);
    ::FillRect(item.hDC, &item.rcItem, ::GetSysColorBrush(COLOR_WINDOW));
    const LONG width = item.rcItem.right - item.rcItem.left;
    RECT name = item.rcItem;
    name.right = name.left + width * 2 / 5;
    RECT bar = item.rcItem;
    bar.left = name.right + 2;
    bar.right = bar.left + width / 4;
    ::InflateRect(&bar, 0, -2);
    RECT rest = item.rcItem;
    rest.left = bar.right + 4;
    const std::string after = fields[2] + "  " + fields[3];
    ::SetBkMode(item.hDC, TRANSPARENT);
    ::SetTextColor(item.hDC, ::GetSysColor(COLOR_WINDOWTEXT));
    const UINT format = DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS | DT_NOPREFIX;
    ::DrawTextA(item.hDC, fields[0].c_str(), -1, &name, format);
    ::DrawTextA(item.hDC, after.c_str(), -1, &rest, format);
    ::FrameRect(item.hDC, &bar, ::GetSysColorBrush(COLOR_WINDOWTEXT));
    RECT filled = bar;
    ::InflateRect(&filled, -1, -1);
    filled.right = filled.left + (filled.right - filled.left) * std::atoi(fields[1].c_str()) / 100;
    ::FillRect(item.hDC, &filled, ::GetSysColorBrush(COLOR_HIGHLIGHT));
}

void CImagerDlg::StartTimer() {
    m_timerId = ::SetTimer(m_hWnd, kTimerId, kTimerPeriodMs, nullptr);
}

void CImagerDlg::StopTimer() {
    ::KillTimer(m_hWnd, m_timerId);
}

void CImagerDlg::StartRefreshDelay() {
    ::SetTimer(m_hWnd, kRefreshDelayTimerId, kRefreshDelayMs, nullptr);
}

void CImagerDlg::ShowSuccessMessage(const std::string& text) {
    ::MessageBoxA(m_hWnd, text.c_str(), ProgramName().c_str(), MB_OK);
}

void CImagerDlg::EndDialog(int result) {
    if (m_modal) {
        ::EndDialog(m_hWnd, result);
    } else {
        ::DestroyWindow(m_hWnd);
    }
}
