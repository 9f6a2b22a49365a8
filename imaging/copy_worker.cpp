#include "copy_worker.h"

#include <ctime>

#include "buffer_ring.h"
#include "drive_reader.h"
#include "image_file.h"
#include "image_sink.h"
#include "scoped_drive.h"

namespace imaging {
namespace {

using drive::Failure;

// The ring between the drive's reader and the image's writer: 8 buffers of 4 MiB. Large reads
// let the drive and the kernel work in long runs, and 32 MiB in flight keeps the reader going
// while the writer waits on the image's disk. See bench/README.md for the figures.
constexpr std::size_t kBufferCount = 8;
constexpr std::size_t kBufferSize = 4 << 20;

const char* const kChecksumSuffix = ".sha256";
const char* const kMapSuffix = ".map";

std::size_t SectorSize(drive::DriveHandle device) {
    drive::DriveGeometry geometry;
    return drive::QueryDriveGeometry(device, geometry) != 0 && geometry.BytesPerSector != 0
               ? geometry.BytesPerSector
               : 512;
}

// Takes the filled buffers in order into the sink until the reader has finished, the sink fails
// or the run is cancelled; doneBytes follows every buffer.
Failure WriteFromRing(CopyJob& job, BufferRing& ring, ImageSink& sink) {
    std::uint64_t done = 0;
    while (DriveBuffer* buffer = ring.NextFilled()) {
        if (CancelRequested(job)) {
            return {FailureReason::Cancelled, 0, {}};
        }
        if (Failure failure = sink.Write(buffer->bytes.get(), buffer->length)) {
            return failure;
        }
        done += buffer->length;
        job.progress.doneBytes.store(done, std::memory_order_relaxed);
        ring.GiveBack(buffer);
    }
    return ring.ReaderFailure();
}

// Reads the drive on a second thread while this one writes: the run's two stages.
Failure CopyStages(CopyJob& job, drive::DriveHandle device, std::uint64_t total, ImageSink& sink,
                   std::string& sha256) {
    BufferRing ring(kBufferCount, kBufferSize);
    DriveReader reader(job, device, total, SectorSize(device), ring);
    Failure written;
    const bool ran = RunBesideAtThisPriority([&] { reader.Run(); },
                                             [&] {
                                                 written = WriteFromRing(job, ring, sink);
                                                 // The reader stops at its next buffer.
                                                 ring.Stop();
                                             });
    if (!ran) {
        return {FailureReason::WorkerNotStarted, 0, "no thread for the drive's reader"};
    }
    if (written) {
        return written;
    }
    return reader.FinishDigest(sha256);
}

// Every handle opened here is closed before this returns, on every path.
Failure CopyDriveToImage(CopyJob& job) {
    const CopyRequest& request = job.request;
    drive::DriveHandle deviceHandle = drive::kInvalidDriveHandle;
    if (Failure failure = drive::OpenDriveAskingAccess(request.devicePath, deviceHandle)) {
        return failure;
    }
    const drive::ScopedDrive device(deviceHandle);
    if (drive::IsRemovableDrive(device.Get()) == 0) {
        return {FailureReason::NotRemovable, 0, {}};
    }
    // Disks plugged in or out since the list was shown shift the indexes: the path may now
    // lead to another disk than the one the user chose.
    if (request.expectedDrive != drive::DriveIdentity{} &&
        drive::QueryDriveIdentity(device.Get()) != request.expectedDrive) {
        return {FailureReason::DriveChanged, 0, {}};
    }
    std::vector<std::string> sideSuffixes = {kChecksumSuffix};
    if (request.rescue.enabled) {
        sideSuffixes.push_back(kMapSuffix);
    }
    ImageFile image;
    if (Failure failure = image.Open(request.imagePath, device.Get(), sideSuffixes)) {
        return failure;
    }
    const std::uint64_t capacity = drive::DriveCapacity(device.Get());
    job.progress.totalBytes.store(capacity, std::memory_order_relaxed);
    if (capacity == 0) {
        return {FailureReason::CapacityUnknown, 0, {}};
    }
    job.progress.startTime.store(std::time(nullptr), std::memory_order_release);
    drive::AdviseSequentialRead(device.Get());
    RawImageSink sink(image);
    std::string sha256;
    if (Failure failure = CopyStages(job, device.Get(), capacity, sink, sha256)) {
        return failure;
    }
    std::vector<SideFile> sideFiles = {{kChecksumSuffix, ChecksumLine(sha256, image.Name())}};
    if (request.rescue.enabled) {
        sideFiles.push_back({kMapSuffix, FormatRescueMap(capacity, job.result.unreadableRanges)});
    }
    // Only an image that reached stable storage, with its side files, counts as a success.
    if (Failure failure = image.Commit(sideFiles)) {
        return failure;
    }
    job.result.imageSha256 = std::move(sha256);
    return {};
}

}  // namespace

void RunCopyJob(CopyJob& job) {
    EndRun(job, CopyDriveToImage(job));
}

unsigned CopyThreadProc(void* parameter) {
    RunCopyJob(*static_cast<CopyJob*>(parameter));
    return 1;
}

}  // namespace imaging
