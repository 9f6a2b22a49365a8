#pragma once

#include <windows.h>

#include "clock.h"
#include "dialog_view.h"
#include "imager_dialog_logic.h"

// The program's window on Windows, on the IDD_MAIN template. It routes the window's messages to
// its handlers, which forward to the window's decisions (ImagerDialogLogic); it decides nothing
// itself.
class CImagerDlg : private ui::DialogView {
public:
    explicit CImagerDlg(HWND parent = nullptr);
    CImagerDlg(const CImagerDlg&) = delete;
    CImagerDlg& operator=(const CImagerDlg&) = delete;
    ~CImagerDlg() override = default;

    // Runs the window modally until it ends; returns its result.
    INT_PTR DoModal();
    // Creates the window without a modal loop of its own, for a caller that pumps messages.
    HWND Create();

    HWND Window() const { return m_hWnd; }
    bool IsBusy() const { return m_logic.IsBusy(); }
    // The window's runs: how the last one ended.
    const imaging::RunController& Run() const { return m_run; }

    // Where the minimised window draws its icon along one axis: centred, rounding up.
    static int IconOffset(int clientExtent, int iconExtent) {
        return (clientExtent - iconExtent + 1) / 2;
    }

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

    BOOL OnInitDialog();
    bool OnSysCommand(UINT id);
    bool OnPaint();
    HICON OnQueryDragIcon() const { return m_hIcon; }
    void OnCommand(int id);
    void OnSelect();
    void OnHelp();
    void AddAboutEntry();
    void OnTimer(UINT_PTR id);
    INT_PTR OnListKey(WORD key);
    void DrawCardRow(const DRAWITEMSTRUCT& item);

    void ResetDeviceList() override;
    void AddDeviceEntry(const std::string& text, const std::string& details) override;
    std::vector<std::string> SelectedDeviceEntries() const override;
    void SelectDeviceEntries(const std::vector<std::string>& texts) override;
    std::string ImagePathText() const override;
    bool IsControlChecked(int controlId) const override;
    void SetControlChecked(int controlId, bool checked) override;
    void ClearDeviceSelection() override;
    bool ConfirmWrite(const std::string& text) override;
    void SetControlText(int controlId, const std::string& text) override;
    void EnableControl(int controlId, bool enabled) override;
    void SetProgressPosition(int percent) override;
    void ShowCardRows(const std::vector<std::string>& names) override;
    void SetCardRow(std::size_t row, int percent, const std::string& speed,
                    const std::string& state) override;
    void StartTimer() override;
    void StopTimer() override;
    void StartRefreshDelay() override;
    void ShowSuccessMessage(const std::string& text) override;
    void EndDialog(int result) override;

    HWND m_parent;
    HWND m_hWnd = nullptr;
    bool m_modal = false;
    UINT_PTR m_timerId = 0;
    // Disks that come and go, a card with no volume too, are announced to the window.
    HDEVNOTIFY m_diskNotification = nullptr;
    HICON m_hIcon;
    ui::SystemClock m_clock;
    imaging::RunController m_run;
    ui::ImagerDialogLogic m_logic;
};
