// engine_copy DEVICE IMAGE: images the block device DEVICE into the file IMAGE with the copy
// engine, exactly as the program does: the worker thread at idle priority, ending with the
// image flushed to disk. The device is presented to the engine as a removable USB disk through
// a throwaway sysfs tree. Exits 0 only when the run succeeded.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "copy_job.h"
#include "copy_worker.h"
#include "drive_probe.h"
#include "fake_sysfs.h"

namespace {

namespace fs = std::filesystem;

std::string DeviceNumber(const char* device) {
    struct stat status {};
    if (::stat(device, &status) != 0 || !S_ISBLK(status.st_mode)) {
        return {};
    }
    return std::to_string(major(status.st_rdev)) + ":" + std::to_string(minor(status.st_rdev));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: engine_copy DEVICE IMAGE\n");
        return 2;
    }
    const std::string deviceNumber = DeviceNumber(argv[1]);
    if (deviceNumber.empty()) {
        std::fprintf(stderr, "engine_copy: %s is not a block device\n", argv[1]);
        return 2;
    }
    std::string pattern = (fs::temp_directory_path() / "engine-copy-XXXXXX").string();
    const fs::path root = ::mkdtemp(pattern.data());
    imaging::Outcome outcome = imaging::Outcome::Failed;
    {
        testing_support::FakeSysfs sysfs(root);
        sysfs.Add({.name = "sdz",
                   .node = argv[1],
                   .deviceNumber = deviceNumber,
                   .bus = "usb",
                   .removableFlag = true,
                   .isVirtual = false,
                   .holders = {}});
        imaging::CopyJob& job = imaging::TheCopyJob();
        imaging::PrepareRun(job, drive::DrivePath(0), argv[2]);
        if (imaging::LaunchCopyWorker()) {
            // The window looks once a second; a finer poll only makes the timing finer.
            while (job.runState.load(std::memory_order_acquire) != imaging::RunState::Idle) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            outcome = job.outcome.load(std::memory_order_relaxed);
        }
    }
    fs::remove_all(root);
    return outcome == imaging::Outcome::Succeeded ? 0 : 1;
}
