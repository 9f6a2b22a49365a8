#include "copy_job.h"

#include <utility>

namespace imaging {

CopyJob& TheCopyJob() {
    static CopyJob job;
    return job;
}

void PrepareRun(CopyJob& job, std::string devicePath, std::string imagePath,
                drive::DriveIdentity expectedDrive) {
    job.devicePath = std::move(devicePath);
    job.imagePath = std::move(imagePath);
    job.expectedDrive = expectedDrive;
    job.startTime.store(0, std::memory_order_relaxed);
    job.totalBytes.store(0, std::memory_order_relaxed);
    job.failureReason.store(FailureReason::None, std::memory_order_relaxed);
    job.failureError.store(0, std::memory_order_relaxed);
    job.rescue = {};
    job.unreadableBytes.store(0, std::memory_order_relaxed);
    job.unreadableRanges.clear();
    job.runState.store(RunState::Running, std::memory_order_relaxed);
    job.doneBytes.store(0, std::memory_order_relaxed);
}

void RequestCancel(CopyJob& job) {
    RunState expected = RunState::Running;
    job.runState.compare_exchange_strong(expected, RunState::CancelRequested,
                                         std::memory_order_relaxed);
}

void EndRun(CopyJob& job, const Failure& failure) {
    job.failureReason.store(failure.reason, std::memory_order_relaxed);
    job.failureError.store(failure.error, std::memory_order_relaxed);
    job.outcome.store(failure ? Outcome::Failed : Outcome::Succeeded, std::memory_order_relaxed);
    job.runState.store(RunState::Idle, std::memory_order_release);
}

}  // namespace imaging
