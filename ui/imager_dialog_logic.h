#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "clock.h"
#include "dialog_view.h"
#include "drive.h"
#include "drive_probe.h"
#include "run/run_controller.h"

namespace ui {

// Every decision of the main window: when Start does nothing, what Exit does, what each tick
// shows and when a run is over. A front-end binds its widgets to a DialogView and forwards the
// window's events here.
// The line beneath the progress bar once a run has ended: how it ended, in the command line's
// words, or "Cancelled".
std::string OutcomeLine(const imaging::CopyRequest& request, const imaging::CopyResult& result);

class ImagerDialogLogic {
public:
    // `run` carries the window's runs; the window owns it beside this.
    ImagerDialogLogic(DialogView& view, const Clock& clock, imaging::RunController& run);

    void OnInitDialog();
    void OnRefresh();
    void OnStart();
    void OnExit();
    void OnTimer();
    // The platform saw a drive come or go.
    void OnDrivesChanged();
    void OnRefreshDelayOver();
    // The direction buttons changed: the window reads cards into images, or writes an image
    // onto a card, from here on.
    void OnDirectionChanged();
    // The user selected other cards: several read into a folder rather than a file.
    void OnSelectionChanged();

    bool IsBusy() const { return m_busy; }
    // In write mode the chooser opens an existing image and never asks about replacing.
    bool WritesToCard() const { return m_writeMode; }
    // Several cards are read into a folder: the chooser names a folder and the form, and never
    // asks about replacing, since nothing is replaced.
    bool ReadsIntoFolder() const;

private:
    // The list's indexes of the selected entries; empty when one has none.
    std::vector<int> SelectedIndexes() const;
    // The drive the list showed at `index`, with the node a run opens it by.
    drive::Drive ListedCard(int index) const;
    // Where each card's image goes, or is read from; empty, saying why, when nowhere fits.
    std::vector<std::string> ImagePaths(const std::vector<drive::Drive>& cards,
                                        const std::string& target);
    // The request of a write, once the user has confirmed it; nullopt when not confirmed.
    std::optional<imaging::RestoreSettings> ConfirmedWrite(const std::vector<drive::Drive>& cards,
                                                           const std::string& path);
    // Prepares and launches a run for each card; false when none could start.
    bool LaunchRuns(const std::vector<drive::Drive>& cards, const std::vector<std::string>& images,
                    const imaging::RestoreSettings& restore);
    void ShowProgress(std::int64_t elapsed);
    // Takes up the direction the buttons show, unless a run is on; true when it changed.
    bool FollowDirection();
    void ShowRows();
    // The end of several runs: each failed card named with its reason, or the success box.
    void EndSeveral();
    void ReturnToIdle();
    void EnableOptions(bool enabled);

    DialogView& m_view;
    const Clock& m_clock;
    imaging::RunController& m_run;
    bool m_busy = false;
    bool m_verifyShown = false;
    bool m_checkingShown = false;
    bool m_writeMode = false;
    // The read mode's choices, as they were when the window went into write mode.
    bool m_readPartitionsOnly = false;
    bool m_readVerify = false;
    // Drives came or went during a run; the list follows once it is over.
    bool m_refreshPending = false;
    // The disk behind each index the list showed at its last refresh, and the entry's text.
    std::map<int, drive::DriveIdentity> m_listedDrives;
    std::map<int, std::string> m_listedTexts;
    std::map<int, drive::Drive> m_listedCards;  // each entry's description, for a confirmation
    std::vector<imaging::RunController*> m_runs;
    std::vector<std::unique_ptr<imaging::RunController>> m_moreRuns;  // past the window's own
    std::vector<int> m_runIndexes;                                    // each run's list index
};

}  // namespace ui
