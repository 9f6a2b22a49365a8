#include "gtest_support.h"

#include <chrono>
#include <thread>

#include "run/copy_worker.h"

namespace testing_support {

void StartCopy(imaging::CopyJob& job, const std::string& devicePath, const std::string& imagePath) {
    imaging::PrepareRun(job, {.drive = {.node = devicePath}, .imagePath = imagePath});
    ASSERT_TRUE(imaging::LaunchCopyWorker(job)) << "the worker did not start";
}

const imaging::CopyResult& RunCopy(imaging::CopyJob& job, const std::string& devicePath,
                                   const std::string& imagePath,
                                   drive::DriveIdentity expectedDrive) {
    imaging::PrepareRun(
        job, {.drive = {.node = devicePath, .identity = expectedDrive}, .imagePath = imagePath});
    if (!imaging::LaunchCopyWorker(job)) {
        ADD_FAILURE() << "the worker did not start";
        imaging::EndRun(job, {error::FailureReason::WorkerNotStarted, 0, {}});
    }
    WaitForIdle(job);
    return job.result;
}

void WaitForIdle(const imaging::CopyJob& job) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (!imaging::RunHasEnded(job)) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the worker never ended";
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void WaitUntilCopying(const imaging::CopyJob& job) {
    while (job.progress.doneBytes.load() == 0 && !imaging::RunHasEnded(job)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace testing_support
