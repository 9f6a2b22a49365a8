#include "copy_worker.h"

#include <algorithm>
#include <ctime>

#include "copy_job.h"
#include "drive_probe.h"
#include "image_file.h"
#include "scoped_drive.h"

namespace imaging {
namespace {

// Chunk by chunk from the drive's first byte, never past totalBytes. A read that returns nothing
// before the total is reached means the drive has gone away or shrunk.
bool CopyChunks(CopyJob& job, drive::DriveHandle device, ImageHandle image) {
    const std::uint64_t total = job.totalBytes.load(std::memory_order_relaxed);
    std::uint64_t done = 0;
    while (done < total) {
        if (job.runState.load(std::memory_order_relaxed) == RunState::CancelRequested) {
            return false;
        }
        const std::int64_t got = drive::ReadDrive(device, job.transferBuffer.data(), kChunkSize);
        if (got < 0) {
            return false;
        }
        const std::uint64_t chunk = std::min(static_cast<std::uint64_t>(got), total - done);
        if (chunk == 0 || !WriteImage(image, job.transferBuffer.data(), chunk) ||
            !PaceWriteback(image, done, done + chunk)) {
            return false;
        }
        drive::KeepReadingAhead(device, done, done + chunk);
        done += chunk;
        job.doneBytes.store(done, std::memory_order_relaxed);
    }
    return true;
}

// Every handle opened here is closed before this returns, on every path.
Outcome CopyDriveToImage(CopyJob& job) {
    drive::DriveHandle deviceHandle = drive::kInvalidDriveHandle;
    if (drive::OpenDrive(job.devicePath, deviceHandle) == 0) {
        return Outcome::Failed;
    }
    const drive::ScopedDrive device(deviceHandle);
    if (drive::IsRemovableDrive(device.Get()) == 0) {
        return Outcome::Failed;
    }
    // Disks plugged in or out since the list was shown shift the indexes: the path may now
    // lead to another disk than the one the user chose.
    if (job.expectedDrive != drive::DriveIdentity{} &&
        drive::QueryDriveIdentity(device.Get()) != job.expectedDrive) {
        return Outcome::Failed;
    }
    ImageHandle imageHandle = kInvalidImageHandle;
    if (CreateImageFile(job.imagePath, device.Get(), imageHandle) == 0) {
        return Outcome::Failed;
    }
    ScopedImage image(imageHandle);
    const std::uint64_t capacity = drive::DriveCapacity(device.Get());
    job.totalBytes.store(capacity, std::memory_order_relaxed);
    if (capacity == 0) {
        return Outcome::Failed;
    }
    job.startTime.store(std::time(nullptr), std::memory_order_release);
    drive::AdviseSequentialRead(device.Get());
    if (!CopyChunks(job, device.Get(), image.Get())) {
        return Outcome::Failed;
    }
    // Only an image that reached stable storage counts as a success.
    return FinishImageFile(image.Release()) != 0 ? Outcome::Succeeded : Outcome::Failed;
}

}  // namespace

unsigned CopyThreadProc(void* /*parameter*/) {
    CopyJob& job = TheCopyJob();
    const Outcome outcome = CopyDriveToImage(job);
    job.outcome.store(outcome, std::memory_order_relaxed);
    job.runState.store(RunState::Idle, std::memory_order_release);
    return 1;
}

}  // namespace imaging
