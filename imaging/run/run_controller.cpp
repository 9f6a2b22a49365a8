#include "run/run_controller.h"

#include <utility>

namespace imaging {

using error::FailureReason;

void RunController::Prepare(CopyRequest request) {
    PrepareRun(m_job, std::move(request));
}

bool RunController::Launch() {
    if (m_launch(m_job)) {
        return true;
    }
    EndRun(m_job, {FailureReason::WorkerNotStarted, 0, {}});
    return false;
}

void RunController::Cancel() {
    RequestCancel(m_job);
}

std::int64_t RunController::StartTime() const {
    return m_job.progress.startTime.load(std::memory_order_acquire);
}

ProgressReading RunController::Reading(std::int64_t elapsed) const {
    return ReadProgress(elapsed, m_job.progress.doneBytes.load(std::memory_order_relaxed),
                        m_job.progress.totalBytes.load(std::memory_order_relaxed));
}

bool RunController::Verifying() const {
    return m_job.progress.verifying.load(std::memory_order_relaxed);
}

bool RunController::CheckingImage() const {
    return m_job.progress.checkingImage.load(std::memory_order_relaxed);
}

bool RunController::HasEnded() const {
    return RunHasEnded(m_job);
}

}  // namespace imaging
