#pragma once

#include <map>

#include "clock.h"
#include "dialog_view.h"
#include "drive_probe.h"
#include "run_controller.h"

namespace ui {

// Every decision of the main window: when Start does nothing, what Exit does, what each tick
// shows and when a run is over. A front-end binds its widgets to a DialogView and forwards the
// window's events here.
class ImagerDialogLogic {
public:
    // `run` carries the window's runs; the window owns it beside this.
    ImagerDialogLogic(DialogView& view, const Clock& clock, imaging::RunController& run);

    void OnInitDialog();
    void OnRefresh();
    void OnStart();
    void OnExit();
    void OnTimer();

    bool IsBusy() const { return m_busy; }

private:
    void ShowProgress(std::int64_t elapsed);
    void ReturnToIdle();

    DialogView& m_view;
    const Clock& m_clock;
    imaging::RunController& m_run;
    bool m_busy = false;
    // The disk behind each index the list showed at its last refresh.
    std::map<int, drive::DriveIdentity> m_listedDrives;
};

}  // namespace ui
