#include "imager_dialog_logic.h"

#include <utility>

#include "drive_list.h"
#include "outcome/describe_outcome.h"
#include "resource_ids.h"
#include "restore/image_facts.h"
#include "run/progress.h"
#include "write_confirmation.h"

namespace ui {
namespace {

constexpr const char* kExitText = "E&xit";
constexpr const char* kCancelText = "&Cancel";
constexpr int kDialogResultOk = 1;
constexpr const char* kVerifyingText = "Verifying: reading the card a second time";
constexpr const char* kWritingText = "Writing";
constexpr const char* kVerifyingWriteText = "Verifying: reading the card back";

// Fills the view's device list and notes which disk each entry stands for.
class ListFiller : public drive::DeviceListControl {
public:
    ListFiller(DialogView& view, std::map<int, drive::DriveIdentity>& drives,
               std::map<int, std::string>& texts, std::map<int, drive::Drive>& cards)
        : m_view(view), m_drives(drives), m_texts(texts), m_cards(cards) {}

    void ResetContent() override {
        m_view.ResetDeviceList();
        m_drives.clear();
        m_texts.clear();
        m_cards.clear();
    }
    void AddString(const std::string& text, const drive::ListedDrive& drive) override {
        m_view.AddDeviceEntry(text, drive::FormatDriveDetails(drive.drive));
        m_drives[drive.index] = drive.drive.identity;
        m_texts[drive.index] = text;
        m_cards[drive.index] = drive.drive;
    }

private:
    DialogView& m_view;
    std::map<int, drive::DriveIdentity>& m_drives;
    std::map<int, std::string>& m_texts;
    std::map<int, drive::Drive>& m_cards;
};

}  // namespace

std::string OutcomeLine(const imaging::CopyRequest& request, const imaging::CopyResult& result) {
    if (result.outcome == imaging::Outcome::Failed &&
        result.failure.reason == error::FailureReason::Cancelled) {
        return result.restored.cardWritten && !result.restored.tableWritten
                   ? "Cancelled: the card holds part of the image and no partition table"
                   : "Cancelled";
    }
    std::string line = imaging::DescribeOutcome(request, result);
    if (!line.empty() && line[0] >= 'a' && line[0] <= 'z') {
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
    ListFiller filler(m_view, m_listedDrives, m_listedTexts, m_listedCards);
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
    imaging::RestoreSettings restore;
    if (m_writeMode) {
        const auto confirmed = ConfirmedWrite(*index, imagePath);
        if (!confirmed) {
            return;
        }
        restore = *confirmed;
    }

    m_view.StartTimer();
    drive::Drive chosen;
    if (const auto card = m_listedCards.find(*index); card != m_listedCards.end()) {
        chosen = card->second;
    }
    chosen.node = drive::DrivePath(*index);
    chosen.identity = expected;
    m_run.Prepare({.task = m_writeMode ? imaging::Task::Restore : imaging::Task::Image,
                   .drive = chosen,
                   .imagePath = std::move(imagePath),
                   .retries = 0,
                   .verifyAfter = m_view.IsControlChecked(IDC_VERIFY),
                   .partitionsOnly = !m_writeMode && m_view.IsControlChecked(IDC_PARTITIONS_ONLY),
                   .extraHashes = {},
                   .command = {},
                   .restore = restore,
                   .ringBuffers = imaging::kRunBufferCount});
    m_view.SetProgressPosition(0);
    m_view.SetControlText(IDC_STATUS, m_writeMode ? kWritingText : "");
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
        m_view.ShowSuccessMessage(m_run.Request().task == imaging::Task::Restore
                                      ? "Write Card Successfully"
                                      : "Write Image Successfully");
    }
    ReturnToIdle();
}

void ImagerDialogLogic::ShowProgress(std::int64_t elapsed) {
    if (m_run.Verifying() && !m_verifyShown) {
        m_verifyShown = true;
        m_view.SetControlText(IDC_STATUS, m_run.Request().task == imaging::Task::Restore
                                              ? kVerifyingWriteText
                                              : kVerifyingText);
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
    m_view.EnableControl(IDC_PARTITIONS_ONLY, enabled && !m_writeMode);
    m_view.EnableControl(IDC_VERIFY, enabled);
    m_view.EnableControl(IDC_READ_MODE, enabled);
    m_view.EnableControl(IDC_WRITE_MODE, enabled);
}

// Nothing is opened for writing before the user has seen the card's own description and what
// will happen to it, and has pressed Write. An image that cannot be read says so and asks
// nothing.
std::optional<imaging::RestoreSettings> ImagerDialogLogic::ConfirmedWrite(int index,
                                                                          const std::string& path) {
    const auto card = m_listedCards.find(index);
    if (card == m_listedCards.end()) {
        return std::nullopt;
    }
    imaging::ImageFacts facts;
    if (const error::Failure failure = imaging::ReadImageFacts(path, facts)) {
        m_view.SetControlText(IDC_STATUS, "Failed: " + error::DescribeFailure(failure) +
                                              "; nothing was written to the card");
        return std::nullopt;
    }
    if (!m_view.ConfirmWrite(ConfirmationText(card->second, path, facts))) {
        m_view.SetControlText(IDC_STATUS, "Not confirmed: nothing was written to the card");
        return std::nullopt;
    }
    return imaging::RestoreSettings{false, facts.fileBytes, {}, false};
}

// Switching back gives the read mode its own choices again, exactly as they were.
void ImagerDialogLogic::OnDirectionChanged() {
    const bool write = m_view.IsControlChecked(IDC_WRITE_MODE);
    if (write == m_writeMode) {
        return;
    }
    if (write) {
        m_readPartitionsOnly = m_view.IsControlChecked(IDC_PARTITIONS_ONLY);
        m_readVerify = m_view.IsControlChecked(IDC_VERIFY);
        // A write goes only to a card the user picks now, never to one picked for reading.
        m_view.ClearDeviceSelection();
    }
    m_writeMode = write;
    m_view.SetControlText(IDC_PATH_LABEL, write ? "Source Image &File" : "Target Image &File");
    m_view.SetControlText(IDOK, write ? "&Write" : "&Start");
    m_view.SetControlText(IDC_VERIFY, write ? "&Verify after writing" : "&Verify after reading");
    m_view.SetControlChecked(IDC_PARTITIONS_ONLY, !write && m_readPartitionsOnly);
    m_view.SetControlChecked(IDC_VERIFY, write || m_readVerify);
    m_view.EnableControl(IDC_PARTITIONS_ONLY, !write);
    m_view.SetControlText(IDC_STATUS, "");
}

}  // namespace ui
