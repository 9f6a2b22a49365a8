#include "removable_drive.h"

#include <chrono>
#include <thread>

#include "copy_worker.h"
#include "drive_probe.h"

namespace testing_support {

RemovableDrive::RemovableDrive(const TempDir& dir, std::uint64_t size, std::uint32_t seed)
    : m_backing(dir / "drive.bin") {
    WriteRandomFile(m_backing, size, seed);
    m_loop = std::make_unique<LoopDevice>(m_backing);
    m_sysfs = std::make_unique<FakeSysfs>(dir / "root");
    m_sysfs->Add({.name = "sdz",
                  .node = m_loop->Path(),
                  .deviceNumber = m_loop->DeviceNumber(),
                  .removableFlag = true});
}

std::string RemovableDrive::DrivePath() const {
    return drive::DrivePath(0);
}

imaging::Outcome RunCopy(const std::string& devicePath, const std::string& imagePath) {
    imaging::CopyJob& job = imaging::TheCopyJob();
    imaging::PrepareRun(job, devicePath, imagePath);
    EXPECT_TRUE(imaging::LaunchCopyWorker());
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
