#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace ui {

// What the main window's decisions need of its widgets, whatever toolkit draws them. Control
// identifiers are those of resource_ids.h.
class DialogView {
public:
    DialogView() = default;
    DialogView(const DialogView&) = delete;
    DialogView& operator=(const DialogView&) = delete;
    virtual ~DialogView() = default;

    virtual void ResetDeviceList() = 0;
    // Adds an entry to the sorted device list; `details` is shown when the user points at it.
    virtual void AddDeviceEntry(const std::string& text, const std::string& details) = 0;
    // The texts of the selected device list entries, in the list's order; empty when none is.
    virtual std::vector<std::string> SelectedDeviceEntries() const = 0;
    // Selects the entries with exactly these texts, those there are, and no other.
    virtual void SelectDeviceEntries(const std::vector<std::string>& texts) = 0;
    virtual std::string ImagePathText() const = 0;
    virtual bool IsControlChecked(int controlId) const = 0;
    virtual void SetControlChecked(int controlId, bool checked) = 0;
    virtual void ClearDeviceSelection() = 0;

    virtual void SetControlText(int controlId, const std::string& text) = 0;
    virtual void EnableControl(int controlId, bool enabled) = 0;
    virtual void SetProgressPosition(int percent) = 0;

    // Several cards run at once: a row for each, named `names`, in place of the single progress
    // display; no names bring that display back.
    virtual void ShowCardRows(const std::vector<std::string>& names) = 0;
    // Row `row`'s bar at `percent`, its speed and its state ("Writing", "Done", "Failed: ...").
    virtual void SetCardRow(std::size_t row, int percent, const std::string& speed,
                            const std::string& state) = 0;

    // The once-a-second tick that drives OnTimer.
    virtual void StartTimer() = 0;
    virtual void StopTimer() = 0;

    // Calls OnRefreshDelayOver once, a moment from now; a second call before then starts the
    // moment again, so a burst of drive events ends in one refresh.
    virtual void StartRefreshDelay() = 0;

    // The write confirmation, modal: a box titled kConfirmTitle with `text`, "&Write" and
    // "Cancel" (the default; Enter and Esc cancel), whose Write accepts only once
    // WriteMayBeAccepted says so. True only when the user pressed Write.
    virtual bool ConfirmWrite(const std::string& text) = 0;

    // "Write Image Successfully" (or the like, `text`), modal, returning once dismissed.
    virtual void ShowSuccessMessage(const std::string& text) = 0;
    virtual void EndDialog(int result) = 0;
};

}  // namespace ui
