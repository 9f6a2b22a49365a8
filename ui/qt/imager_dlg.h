#pragma once

#include <QDialog>
#include <QIcon>
#include <memory>

#include "clock.h"
#include "dialog_view.h"
#include "drive_events.h"
#include "imager_dialog_logic.h"

class QCheckBox;
class QLabel;
class QSocketNotifier;
class QTimer;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTableWidget;

namespace Ui {
class ImagerDialog;
}

// The program's window. It binds the form's widgets to the window's decisions
// (ImagerDialogLogic) and forwards every event to them; it decides nothing itself.
class CImagerDlg : public QDialog, private ui::DialogView {
    Q_OBJECT

public:
    explicit CImagerDlg(QWidget* parent = nullptr);
    ~CImagerDlg() override;
    CImagerDlg(const CImagerDlg&) = delete;
    CImagerDlg& operator=(const CImagerDlg&) = delete;

    bool IsBusy() const { return m_logic.IsBusy(); }
    // The window's runs: how the last one ended; the first card's when several ran.
    const imaging::RunController& Run() const { return m_run; }

public slots:
    // Esc, the close box and the window manager all end here, and so go through OnExit.
    void reject() override;

protected:
    void timerEvent(QTimerEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private slots:
    void OnSelect();
    void OnRefresh();
    void OnStart();
    void OnExit();

private:
    void OnInitDialog();
    void OnAboutBox();
    void DoDataExchange();

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

    std::unique_ptr<Ui::ImagerDialog> m_form;
    QPushButton* m_btnExit = nullptr;
    QPushButton* m_btnStart = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_percent = nullptr;
    QLabel* m_totalTime = nullptr;
    QLabel* m_timeRemaining = nullptr;
    QLabel* m_speed = nullptr;
    QLabel* m_timeElapsed = nullptr;
    QLineEdit* m_imagePath = nullptr;
    QListWidget* m_deviceList = nullptr;
    QCheckBox* m_partitionsOnly = nullptr;
    QCheckBox* m_verify = nullptr;
    QLabel* m_status = nullptr;
    QRadioButton* m_readMode = nullptr;
    QRadioButton* m_writeMode = nullptr;
    QLabel* m_pathLabel = nullptr;
    // A row per card while several run, in place of the single progress display.
    QTableWidget* m_cardRows = nullptr;
    QList<QWidget*> m_singleProgress;
    // Drives that come and go: the kernel's announcements, and the pause that gathers a burst
    // of them into one refresh.
    drive::DriveEvents m_driveEvents;
    QSocketNotifier* m_driveEventNotifier = nullptr;
    QTimer* m_refreshDelay = nullptr;
    int m_timerId = 0;
    QIcon m_hIcon;
    ui::SystemClock m_clock;
    imaging::RunController m_run;
    ui::ImagerDialogLogic m_logic;
};
