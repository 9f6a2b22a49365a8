#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "run/copy_job.h"
#include "run/copy_worker.h"
#include "run/progress.h"

namespace imaging {

// Starts, watches, cancels and reports the runs of one front-end, the window's or the command
// line's; it owns their job, which outlives every worker it launches as long as its owner waits
// for HasEnded before it goes.
class RunController {
public:
    using Launcher = std::function<bool(CopyJob&)>;

    explicit RunController(Launcher launch = LaunchCopyWorker) : m_launch(std::move(launch)) {}
    RunController(const RunController&) = delete;
    RunController& operator=(const RunController&) = delete;

    // A controller of its own that launches its runs as this one does: one more drive's runs.
    std::unique_ptr<RunController> Another() const {
        return std::make_unique<RunController>(m_launch);
    }

    // A fresh start of the job for `request`, state Running; nothing runs yet.
    void Prepare(CopyRequest request);

    // Launches the worker for the prepared run. False when it could not start: the run has then
    // ended Failed (WorkerNotStarted), as no worker will ever end it.
    bool Launch();

    void Cancel();

    // When copying began, in seconds since the epoch; 0 before. Once it is not 0, the total is
    // known too.
    std::int64_t StartTime() const;

    // What the run shows `elapsed` seconds after copying began.
    ProgressReading Reading(std::int64_t elapsed) const;

    // True while the drive is read a second time to verify it.
    bool Verifying() const;
    // True while a restore reads its image to check it, before the card is written.
    bool CheckingImage() const;

    // True once the worker has ended; Result may then be read.
    bool HasEnded() const;

    const CopyRequest& Request() const { return m_job.request; }
    const CopyResult& Result() const { return m_job.result; }

    // The job itself, for what stands in for the worker in tests.
    CopyJob& Job() { return m_job; }

private:
    Launcher m_launch;
    CopyJob m_job;
};

}  // namespace imaging
