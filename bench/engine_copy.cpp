// engine_copy [--normal-priority | --rescue] DEVICE IMAGE: images the block device DEVICE into
// the file IMAGE with the copy engine, exactly as the program does: the worker thread at idle
// priority, ending with the image flushed to disk; --normal-priority runs the same engine at the
// calling thread's priority, to measure what idle priority costs; --rescue rescues the device
// with two retries, as `kalvor --rescue` does. The device is presented to the engine
// as a removable USB disk through a throwaway sysfs tree. Exits 0 only when the run succeeded.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "drive_probe.h"
#include "fake_sysfs.h"
#include "run/run_controller.h"

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
    const std::string option = argc == 4 ? argv[1] : "";
    const bool normalPriority = option == "--normal-priority";
    const bool rescue = option == "--rescue";
    // As --hash md5,sha1 asks: the card's bytes hashed three ways in the reader.
    const bool moreHashes = option == "--hash-md5-sha1";
    if (normalPriority || rescue || moreHashes) {
        --argc;
        ++argv;
    }
    if (argc != 3) {
        std::fprintf(
            stderr,
            "usage: engine_copy [--normal-priority | --rescue | --hash-md5-sha1] DEVICE IMAGE\n");
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
                   .holders = {},
                   .attributes = {}});
        imaging::RunController run;
        run.Prepare({.devicePath = drive::DrivePath(0),
                     .imagePath = argv[2],
                     .expectedDrive = {},
                     .rescue = {rescue, 2},
                     .extraHashes =
                         moreHashes ? std::vector{imaging::HashKind::Md5, imaging::HashKind::Sha1}
                                    : std::vector<imaging::HashKind>{},
                     .command = {},
                     .restore = {}});
        if (normalPriority) {
            imaging::RunCopyJob(run.Job());
        } else if (run.Launch()) {
            // The window looks once a second; a finer poll only makes the timing finer.
            while (!run.HasEnded()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        outcome = run.Result().outcome;
    }
    fs::remove_all(root);
    return outcome == imaging::Outcome::Succeeded ? 0 : 1;
}
