// engine_copy [--trace] [--normal-priority | --rescue] DEVICE IMAGE: images the block device DEVICE
// into the file IMAGE with the copy engine, exactly as the program does: the worker thread at idle
// priority, ending with the image flushed to disk; --normal-priority runs the same engine at the
// calling thread's priority, to measure what idle priority costs; --rescue rescues the device
// with two retries, as `kalvor --rescue` does.
// engine_copy --restore[-no-verify | -skip-empty] DEVICE IMAGE: writes IMAGE onto DEVICE as
// `kalvor --restore` does once confirmed, and prints the seconds the write and the verify took.
// The device is presented to the engine as a removable USB disk through a throwaway sysfs tree.
// --trace prints where the run's buffers waited, in seconds per GiB. Exits 0 only when the run
// succeeded.
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
#include "outcome/describe_outcome.h"
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

// What the card confirmed for a restore holds.
std::uint64_t CapacityOf(const char* device) {
    drive::DriveHandle handle = drive::kInvalidDriveHandle;
    if (drive::OpenDrive(device, handle) == 0) {
        return 0;
    }
    const std::uint64_t capacity = drive::DriveCapacity(handle);
    drive::CloseDrive(handle);
    return capacity;
}

}  // namespace

int main(int argc, char** argv) {
    // --trace first: where the run's buffers waited, per GiB, on stderr at the end.
    const bool trace = argc > 1 && std::string(argv[1]) == "--trace";
    if (trace) {
        --argc;
        ++argv;
    }
    const std::string option = argc == 4 ? argv[1] : "";
    const bool normalPriority = option == "--normal-priority";
    const bool rescue = option == "--rescue";
    // As --hash md5,sha1 asks: the card's bytes hashed three ways in the reader.
    const bool moreHashes = option == "--hash-md5-sha1";
    const bool restore = option.rfind("--restore", 0) == 0;
    if (normalPriority || rescue || moreHashes || restore) {
        --argc;
        ++argv;
    }
    if (argc != 3) {
        std::fprintf(
            stderr,
            "usage: engine_copy [--trace] [--normal-priority | --rescue | --hash-md5-sha1 | "
            "--restore |\n"
            "                    --restore-no-verify | --restore-skip-empty] DEVICE IMAGE\n");
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
        drive::Drive card;
        card.node = drive::DrivePath(0);
        card.length = restore ? CapacityOf(argv[1]) : 0;
        const imaging::Task task = restore  ? imaging::Task::Restore
                                   : rescue ? imaging::Task::Rescue
                                            : imaging::Task::Image;
        run.Prepare({.task = task,
                     .drive = card,
                     .imagePath = argv[2],
                     .retries = 2,
                     .verifyAfter = restore && option != "--restore-no-verify",
                     .partitionsOnly = false,
                     .extraHashes =
                         moreHashes ? std::vector{imaging::HashKind::Md5, imaging::HashKind::Sha1}
                                    : std::vector<imaging::HashKind>{},
                     .command = {},
                     .restore = {option == "--restore-skip-empty", 0, {}, false, false, nullptr},
                     .ringBuffers = imaging::kRunBufferCount});
        if (normalPriority) {
            imaging::RunCopyJob(run.Job());
        } else if (run.Launch()) {
            // The window looks once a second; a finer poll only makes the timing finer.
            const auto started = std::chrono::steady_clock::now();
            auto verifying = started;
            while (!run.HasEnded()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                if (!run.Verifying()) {
                    verifying = std::chrono::steady_clock::now();
                }
            }
            const auto ended = std::chrono::steady_clock::now();
            if (restore) {
                const std::chrono::duration<double> write = verifying - started;
                const std::chrono::duration<double> verify = ended - verifying;
                std::printf("%.3f %.3f\n", write.count(), verify.count());
            }
        }
        if (trace) {
            std::fputs(run.Job().times.Summary(run.Job().progress.totalBytes.load()).c_str(),
                       stderr);
        }
        outcome = run.Result().outcome;
        if (outcome != imaging::Outcome::Succeeded) {
            std::fprintf(stderr, "engine_copy: %s\n",
                         imaging::DescribeOutcome(run.Request(), run.Result()).c_str());
        }
    }
    fs::remove_all(root);
    return outcome == imaging::Outcome::Succeeded ? 0 : 1;
}
