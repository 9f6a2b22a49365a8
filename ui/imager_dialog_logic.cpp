#include "imager_dialog_logic.h"

#include <utility>

#include "drive_list.h"
#include "progress.h"
#include "resource_ids.h"

namespace ui {
namespace {

constexpr const char* kExitText = "E&xit";
constexpr const char* kCancelText = "&Cancel";
constexpr int kDialogResultOk = 1;

// Fills the view's device list and notes which disk each entry stands for.
class ListFiller : public drive::DeviceListControl {
public:
    ListFiller(DialogView& view, std::map<int, drive::DriveIdentity>& drives)
        : m_view(view), m_drives(drives) {}

    void ResetContent() override {
        m_view.ResetDeviceList();
        m_drives.clear();
    }
    void AddString(const std::string& text, const drive::ListedDrive& drive) override {
        m_view.AddDeviceEntry(text, drive.details);
        m_drives[drive.index] = drive.identity;
    }

private:
    DialogView& m_view;
    std::map<int, drive::DriveIdentity>& m_drives;
};

}  // namespace

ImagerDialogLogic::ImagerDialogLogic(DialogView& view, const Clock& clock,
                                     imaging::RunController& run)
    : m_view(view), m_clock(clock), m_run(run) {}

void ImagerDialogLogic::OnInitDialog() {
    OnRefresh();
}

void ImagerDialogLogic::OnRefresh() {
    ListFiller filler(m_view, m_listedDrives);
    drive::RefreshDriveList(filler);
}

void ImagerDialogLogic::OnStart() {
    if (m_busy) {
        return;
    }
    const auto entry = m_view.SelectedDeviceEntry();
    if (!entry) {
        return;
    }
    const auto index = drive::DriveIndexFromEntry(*entry);
    if (!index) {
        return;
    }
    std::string imagePath = m_view.ImagePathText();
    if (imagePath.empty()) {
        return;
    }
    const auto listed = m_listedDrives.find(*index);
    const drive::DriveIdentity expected =
        listed != m_listedDrives.end() ? listed->second : drive::DriveIdentity{};

    m_view.StartTimer();
    m_run.Prepare({.devicePath = drive::DrivePath(*index),
                   .imagePath = std::move(imagePath),
                   .expectedDrive = expected,
                   .rescue = {}});
    m_view.SetProgressPosition(0);
    m_busy = true;
    m_view.EnableControl(IDOK, false);
    m_view.SetControlText(IDCANCEL, kCancelText);
    if (!m_run.Launch()) {
        // No worker will ever end this run, and no tick need look at it.
        m_view.StopTimer();
        ReturnToIdle();
    }
}

void ImagerDialogLogic::OnExit() {
    if (m_busy) {
        m_run.Cancel();
        return;
    }
    m_view.EndDialog(kDialogResultOk);
}

void ImagerDialogLogic::OnTimer() {
    const std::int64_t startTime = m_run.StartTime();
    if (startTime != 0) {
        const std::int64_t elapsed = m_clock.Now() - startTime;
        if (elapsed == 0) {
            return;  // the next tick does the work
        }
        ShowProgress(elapsed);
    }
    if (!m_run.HasEnded()) {
        return;
    }
    m_view.StopTimer();
    if (m_run.Result().outcome == imaging::Outcome::Succeeded) {
        m_view.ShowSuccessMessage();
    }
    ReturnToIdle();
}

void ImagerDialogLogic::ShowProgress(std::int64_t elapsed) {
    const imaging::ProgressReading reading = m_run.Reading(elapsed);
    m_view.SetControlText(IDC_TIME_ELAPSED, reading.elapsed);
    m_view.SetControlText(IDC_SPEED, reading.speed);
    if (reading.percent) {
        m_view.SetControlText(IDC_PERCENT, std::to_string(*reading.percent) + " %");
        m_view.SetProgressPosition(*reading.percent);
    }
    if (reading.remaining && reading.total) {
        m_view.SetControlText(IDC_TIME_REMAINING, *reading.remaining);
        m_view.SetControlText(IDC_TOTAL_TIME, *reading.total);
    }
}

void ImagerDialogLogic::ReturnToIdle() {
    m_view.SetControlText(IDCANCEL, kExitText);
    m_view.EnableControl(IDOK, true);
    m_busy = false;
}

}  // namespace ui
