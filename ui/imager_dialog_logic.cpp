#include "imager_dialog_logic.h"

#include <utility>

#include "drive_list.h"
#include "resource_ids.h"
#include "run/progress.h"

namespace ui {
namespace {

constexpr const char* kExitText = "E&xit";
constexpr const char* kCancelText = "&Cancel";
constexpr int kDialogResultOk = 1;
constexpr const char* kVerifyingText = "Verifying: reading the card a second time";

// Fills the view's device list and notes which disk each entry stands for.
class ListFiller : public drive::DeviceListControl {
public:
    ListFiller(DialogView& view, std::map<int, drive::DriveIdentity>& drives,
               std::map<int, std::string>& texts)
        : m_view(view), m_drives(drives), m_texts(texts) {}

    void ResetContent() override {
        m_view.ResetDeviceList();
        m_drives.clear();
        m_texts.clear();
    }
    void AddString(const std::string& text, const drive::ListedDrive& drive) override {
        m_view.AddDeviceEntry(text, drive::FormatDriveDetails(drive.drive));
        m_drives[drive.index] = drive.drive.identity;
        m_texts[drive.index] = text;
    }

private:
    DialogView& m_view;
    std::map<int, drive::DriveIdentity>& m_drives;
    std::map<int, std::string>& m_texts;
};

}  // namespace

std::string OutcomeLine(const imaging::CopyRequest& request, const imaging::CopyResult& result) {
    if (result.outcome == imaging::Outcome::Failed &&
        result.failure.reason == error::FailureReason::Cancelled) {
        return "Cancelled";
    }
    std::string line = imaging::DescribeOutcome(request, result);
    if (!line.empty()) {
        line[0] = static_cast<char>(line[0] - 'a' + 'A');
    }
    return line;
}

ImagerDialogLogic::ImagerDialogLogic(DialogView& view, const Clock& clock,
                                     imaging::RunController& run)
    : m_view(view), m_clock(clock), m_run(run) {}

void ImagerDialogLogic::OnInitDialog() {
    OnRefresh();
}

// The selection stays on the disk it was on, wherever that disk now is in the list; a disk whose
// identity is unknown is followed by its entry's text.
void ImagerDialogLogic::OnRefresh() {
    const auto entry = m_view.SelectedDeviceEntry();
    const auto index = entry ? drive::DriveIndexFromEntry(*entry) : std::nullopt;
    const auto listed = index ? m_listedDrives.find(*index) : m_listedDrives.end();
    const drive::DriveIdentity selected =
        listed != m_listedDrives.end() ? listed->second : drive::DriveIdentity{};
    ListFiller filler(m_view, m_listedDrives, m_listedTexts);
    drive::RefreshDriveList(filler);
    if (!entry) {
        return;
    }
    if (selected == drive::DriveIdentity{}) {
        m_view.SelectDeviceEntry(*entry);
        return;
    }
    for (const auto& [listedIndex, identity] : m_listedDrives) {
        if (identity == selected) {
            m_view.SelectDeviceEntry(m_listedTexts[listedIndex]);
            return;
        }
    }
}

void ImagerDialogLogic::OnDrivesChanged() {
    if (m_busy) {
        m_refreshPending = true;
        return;
    }
    m_view.StartRefreshDelay();
}

void ImagerDialogLogic::OnRefreshDelayOver() {
    if (m_busy) {
        m_refreshPending = true;
        return;
    }
    OnRefresh();
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
                   .rescue = {},
                   .verifyAfter = m_view.IsControlChecked(IDC_VERIFY),
                   .verifyOnly = false,
                   .partitionsOnly = m_view.IsControlChecked(IDC_PARTITIONS_ONLY),
                   .extraHashes = {},
                   .command = {},
                   .restore = {}});
    m_view.SetProgressPosition(0);
    m_view.SetControlText(IDC_STATUS, "");
    m_busy = true;
    m_verifyShown = false;
    m_view.EnableControl(IDOK, false);
    EnableOptions(false);
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
    m_view.SetControlText(IDC_STATUS, OutcomeLine(m_run.Request(), m_run.Result()));
    if (m_run.Result().outcome == imaging::Outcome::Succeeded) {
        m_view.ShowSuccessMessage();
    }
    ReturnToIdle();
}

void ImagerDialogLogic::ShowProgress(std::int64_t elapsed) {
    if (m_run.Verifying() && !m_verifyShown) {
        m_verifyShown = true;
        m_view.SetControlText(IDC_STATUS, kVerifyingText);
    }
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
    EnableOptions(true);
    m_busy = false;
    if (m_refreshPending) {
        m_refreshPending = false;
        OnRefresh();
    }
}

void ImagerDialogLogic::EnableOptions(bool enabled) {
    m_view.EnableControl(IDC_PARTITIONS_ONLY, enabled);
    m_view.EnableControl(IDC_VERIFY, enabled);
}

}  // namespace ui
