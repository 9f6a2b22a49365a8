#include "gtest_support.h"

#include <chrono>
#include <thread>

#include "copy_worker.h"

namespace testing_support {

imaging::Outcome RunCopy(const std::string& devicePath, const std::string& imagePath,
                         drive::DriveIdentity expectedDrive) {
    imaging::CopyJob& job = imaging::TheCopyJob();
    imaging::PrepareRun(job, devicePath, imagePath, expectedDrive);
    if (!imaging::LaunchCopyWorker()) {
        ADD_FAILURE() << "the worker did not start";
        job.runState = imaging::RunState::Idle;
        return imaging::Outcome::Failed;
    }
    WaitForIdle();
    return job.outcome.load();
}

void WaitForIdle() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (imaging::TheCopyJob().runState.load(std::memory_order_acquire) !=
           imaging::RunState::Idle) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the worker never ended";
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace testing_support
