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
    job.runState.store(RunState::Running, std::memory_order_relaxed);
    job.doneBytes.store(0, std::memory_order_relaxed);
}

void RequestCancel(CopyJob& job) {
    RunState expected = RunState::Running;
    job.runState.compare_exchange_strong(expected, RunState::CancelRequested,
                                         std::memory_order_relaxed);
}

}  // namespace imaging
