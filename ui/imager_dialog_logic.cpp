#include "imager_dialog_logic.h"

#include <algorithm>
#include <utility>

#include "drive_list.h"
#include "folder_image_names.h"
#include "image/image_place.h"
#include "outcome/describe_outcome.h"
#include "resource_ids.h"
#include "restore/image_facts.h"
#include "restore/shared_decode.h"
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
constexpr const char* kCheckingText = "Checking the image";

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

// The selection stays on the disks it was on, wherever those disks now are in the list; a disk
// whose identity is unknown is followed by its entry's text.
void ImagerDialogLogic::OnRefresh() {
    const std::vector<std::string> entries = m_view.SelectedDeviceEntries();
    std::vector<drive::DriveIdentity> selected;
    for (const std::string& entry : entries) {
        const auto index = drive::DriveIndexFromEntry(entry);
        const auto listed = index ? m_listedDrives.find(*index) : m_listedDrives.end();
        selected.push_back(listed != m_listedDrives.end() ? listed->second
                                                          : drive::DriveIdentity{});
    }
    ListFiller filler(m_view, m_listedDrives, m_listedTexts, m_listedCards);
    drive::RefreshDriveList(filler);
    if (entries.empty()) {
        return;
    }
    std::vector<std::string> reselected;
    for (std::size_t at = 0; at < entries.size(); ++at) {
        if (selected[at] == drive::DriveIdentity{}) {
            reselected.push_back(entries[at]);
            continue;
        }
        for (const auto& [listedIndex, identity] : m_listedDrives) {
            if (identity == selected[at]) {
                reselected.push_back(m_listedTexts[listedIndex]);
            }
        }
    }
    m_view.SelectDeviceEntries(reselected);
    OnSelectionChanged();
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
    const std::vector<int> indexes = SelectedIndexes();
    const std::string target = m_view.ImagePathText();
    if (indexes.empty() || target.empty()) {
        return;
    }
    std::vector<drive::Drive> cards;
    for (const int index : indexes) {
        cards.push_back(ListedCard(index));
    }
    const std::vector<std::string> images = ImagePaths(cards, target);
    if (images.empty()) {
        return;
    }
    imaging::RestoreSettings restore;
    if (m_writeMode) {
        const auto confirmed = ConfirmedWrite(cards, target);
        if (!confirmed) {
            return;
        }
        restore = *confirmed;
    }

    m_view.StartTimer();
    m_runIndexes = indexes;
    m_view.SetProgressPosition(0);
    m_view.SetControlText(IDC_STATUS, m_writeMode ? kWritingText : "");
    m_busy = true;
    m_verifyShown = false;
    m_checkingShown = false;
    m_view.EnableControl(IDOK, false);
    EnableOptions(false);
    m_view.SetControlText(IDCANCEL, kCancelText);
    if (!LaunchRuns(cards, images, restore)) {
        // No worker will ever end these runs, and no tick need look at them.
        m_view.StopTimer();
        ReturnToIdle();
    }
}

std::vector<int> ImagerDialogLogic::SelectedIndexes() const {
    std::vector<int> indexes;
    for (const std::string& entry : m_view.SelectedDeviceEntries()) {
        const auto index = drive::DriveIndexFromEntry(entry);
        if (!index) {
            return {};
        }
        indexes.push_back(*index);
    }
    return indexes;
}

drive::Drive ImagerDialogLogic::ListedCard(int index) const {
    drive::Drive card;
    if (const auto listed = m_listedCards.find(index); listed != m_listedCards.end()) {
        card = listed->second;
    }
    const auto identity = m_listedDrives.find(index);
    card.node = drive::DrivePath(index);
    card.identity = identity != m_listedDrives.end() ? identity->second : drive::DriveIdentity{};
    return card;
}

// One card reads into, or is written from, the path as typed. Several cards read into a folder,
// an image each named from its card; several written take the one image. None may be written
// where an image of the set lies: one card's run alone would not look at the others'.
std::vector<std::string> ImagerDialogLogic::ImagePaths(const std::vector<drive::Drive>& cards,
                                                       const std::string& target) {
    std::vector<std::string> images(cards.size(), target);
    if (cards.size() == 1) {
        return images;
    }
    if (!m_writeMode) {
        const auto named = ImagePathsInFolder(target, cards);
        if (!named) {
            m_view.SetControlText(IDC_STATUS, "Failed: " + target +
                                                  " is no folder to read the cards into; nothing "
                                                  "was read");
            return {};
        }
        images = *named;
    }
    // One image written onto every card is looked for once.
    const std::vector<std::string> distinct =
        m_writeMode ? std::vector<std::string>{target} : images;
    if (const auto found = imaging::FindImageOnDrives(distinct, cards)) {
        m_view.SetControlText(
            IDC_STATUS,
            "Failed: " + distinct[found->image] +
                (found->place == imaging::ImagePlace::OnDrive ? " lies on " : " may lie on ") +
                cards[found->drive].node +
                (m_writeMode ? "; nothing was written to any card" : "; nothing was read"));
        return {};
    }
    return images;
}

bool ImagerDialogLogic::LaunchRuns(const std::vector<drive::Drive>& cards,
                                   const std::vector<std::string>& images,
                                   const imaging::RestoreSettings& restore) {
    const bool several = cards.size() > 1;
    m_runs = {&m_run};
    m_moreRuns.clear();
    while (m_runs.size() < cards.size()) {
        m_moreRuns.push_back(m_run.Another());
        m_runs.push_back(m_moreRuns.back().get());
    }
    const auto decode =
        several && m_writeMode ? std::make_shared<imaging::SharedDecode>(images.front()) : nullptr;
    for (std::size_t at = 0; at < cards.size(); ++at) {
        imaging::RestoreSettings settings = restore;
        settings.sharedImage = several;
        settings.sharedDecode = decode;
        m_runs[at]->Prepare(
            {.task = m_writeMode ? imaging::Task::Restore : imaging::Task::Image,
             .drive = cards[at],
             .imagePath = images[at],
             .retries = 0,
             .verifyAfter = m_view.IsControlChecked(IDC_VERIFY),
             .partitionsOnly = !m_writeMode && m_view.IsControlChecked(IDC_PARTITIONS_ONLY),
             .extraHashes = {},
             .command = {},
             .restore = settings,
             .ringBuffers = several ? imaging::kSeveralRunsBufferCount : imaging::kRunBufferCount});
    }
    std::vector<std::string> names;
    for (std::size_t at = 0; several && at < cards.size(); ++at) {
        names.push_back(std::to_string(m_runIndexes[at]) + ": " + cards[at].node + "  " +
                        drive::Trimmed(cards[at].vendor + " " + cards[at].model));
    }
    m_view.ShowCardRows(names);
    bool launched = false;
    for (imaging::RunController* run : m_runs) {
        launched = run->Launch() || launched;
    }
    return launched;
}

void ImagerDialogLogic::OnExit() {
    if (m_busy) {
        for (imaging::RunController* run : m_runs) {
            run->Cancel();
        }
        return;
    }
    m_view.EndDialog(kDialogResultOk);
}

void ImagerDialogLogic::OnTimer() {
    if (m_runs.size() > 1) {
        ShowRows();
        if (std::all_of(m_runs.begin(), m_runs.end(),
                        [](const imaging::RunController* run) { return run->HasEnded(); })) {
            m_view.StopTimer();
            EndSeveral();
            ReturnToIdle();
        }
        return;
    }
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
    // A restore's check of its image comes before its write, with progress of its own.
    if (m_run.CheckingImage() != m_checkingShown) {
        m_checkingShown = !m_checkingShown;
        m_view.SetControlText(IDC_STATUS, m_checkingShown ? kCheckingText
                                          : m_writeMode   ? kWritingText
                                                          : "");
    }
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

void ImagerDialogLogic::ShowRows() {
    for (std::size_t row = 0; row < m_runs.size(); ++row) {
        const imaging::RunController& run = *m_runs[row];
        const std::int64_t started = run.StartTime();
        const imaging::ProgressReading reading =
            run.Reading(started == 0 ? 0 : std::max<std::int64_t>(m_clock.Now() - started, 0));
        std::string state = m_writeMode ? kWritingText : "Reading";
        if (run.HasEnded()) {
            const imaging::CopyResult& result = run.Result();
            state = result.outcome == imaging::Outcome::Succeeded
                        ? "Done"
                        : OutcomeLine(run.Request(), result);
        } else if (run.Verifying()) {
            state = "Verifying";
        } else if (run.CheckingImage()) {
            state = kCheckingText;
        }
        m_view.SetCardRow(row, reading.percent.value_or(0), reading.speed, state);
    }
}

// "1 of 3 cards failed: slot 3 (SERIAL): Failed: drive removed"; the rows keep each card's
// state.
void ImagerDialogLogic::EndSeveral() {
    const char* kind = m_writeMode ? "cards" : "drives";
    std::string failures;
    std::size_t failed = 0;
    for (std::size_t at = 0; at < m_runs.size(); ++at) {
        const imaging::CopyRequest& request = m_runs[at]->Request();
        const imaging::CopyResult& result = m_runs[at]->Result();
        if (result.outcome == imaging::Outcome::Succeeded) {
            continue;
        }
        ++failed;
        const std::string serial = drive::Trimmed(request.drive.serial);
        failures += (failures.empty() ? ": slot " : "; slot ") + std::to_string(m_runIndexes[at]) +
                    " (" + (serial.empty() ? request.drive.node : serial) +
                    "): " + OutcomeLine(request, result);
    }
    const std::string count = std::to_string(m_runs.size());
    if (failed != 0) {
        m_view.SetControlText(IDC_STATUS, std::to_string(failed) + " of " + count + " " + kind +
                                              " failed" + failures);
        return;
    }
    m_view.SetControlText(IDC_STATUS, "All " + count + " " + kind + " succeeded");
    m_view.ShowSuccessMessage(m_writeMode ? "Write Cards Successfully"
                                          : "Write Images Successfully");
}

void ImagerDialogLogic::ReturnToIdle() {
    m_view.SetControlText(IDCANCEL, kExitText);
    m_view.EnableControl(IDOK, true);
    m_busy = false;
    FollowDirection();
    EnableOptions(true);
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

// Nothing is opened for writing before the user has seen each card's own description and what
// will happen to it, and has pressed Write. An image that cannot be read says so and asks
// nothing.
std::optional<imaging::RestoreSettings> ImagerDialogLogic::ConfirmedWrite(
    const std::vector<drive::Drive>& cards, const std::string& path) {
    const char* nothing = cards.size() == 1 ? "the card" : "any card";
    imaging::ImageFacts facts;
    if (const error::Failure failure = imaging::ReadImageFacts(path, facts)) {
        m_view.SetControlText(IDC_STATUS, "Failed: " + error::DescribeFailure(failure) +
                                              "; nothing was written to " + nothing);
        return std::nullopt;
    }
    if (!m_view.ConfirmWrite(ConfirmationText(cards, path, facts))) {
        m_view.SetControlText(IDC_STATUS,
                              std::string("Not confirmed: nothing was written to ") + nothing);
        return std::nullopt;
    }
    return imaging::RestoreSettings{false, facts.fileBytes, {}, false, false, nullptr};
}

void ImagerDialogLogic::OnDirectionChanged() {
    if (FollowDirection()) {
        m_view.SetControlText(IDC_STATUS, "");
    }
}

// Switching back gives the read mode its own choices again, exactly as they were. A run keeps
// the direction it started with; a switch that lands during it (a mnemonic's click comes a
// moment after its key) takes effect once the run is over, and leaves its last line.
bool ImagerDialogLogic::FollowDirection() {
    const bool write = m_view.IsControlChecked(IDC_WRITE_MODE);
    if (write == m_writeMode || m_busy) {
        return false;
    }
    if (write) {
        m_readPartitionsOnly = m_view.IsControlChecked(IDC_PARTITIONS_ONLY);
        m_readVerify = m_view.IsControlChecked(IDC_VERIFY);
        // A write goes only to a card the user picks now, never to one picked for reading.
        m_view.ClearDeviceSelection();
    }
    m_writeMode = write;
    OnSelectionChanged();
    m_view.SetControlText(IDOK, write ? "&Write" : "&Start");
    m_view.SetControlText(IDC_VERIFY, write ? "&Verify after writing" : "&Verify after reading");
    m_view.SetControlChecked(IDC_PARTITIONS_ONLY, !write && m_readPartitionsOnly);
    m_view.SetControlChecked(IDC_VERIFY, write || m_readVerify);
    m_view.EnableControl(IDC_PARTITIONS_ONLY, !write);
    return true;
}

bool ImagerDialogLogic::ReadsIntoFolder() const {
    return !m_writeMode && m_view.SelectedDeviceEntries().size() > 1;
}

void ImagerDialogLogic::OnSelectionChanged() {
    m_view.SetControlText(IDC_PATH_LABEL, m_writeMode         ? "Source Image &File"
                                          : ReadsIntoFolder() ? "Target &Folder"
                                                              : "Target Image &File");
}

}  // namespace ui
