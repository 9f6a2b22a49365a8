#include "copy_worker.h"

#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>

#include "buffer_ring.h"
#include "drive_reader.h"
#include "image_file.h"
#include "image_sink.h"
#include "scoped_drive.h"

namespace imaging {
namespace {

using drive::Failure;

// The ring between the drive's reader and the image's writer: 16 buffers of 1 MiB. Measured on
// the 2-core build machine, a 2 GiB loop device read with direct I/O and the image on the same
// virtual disk, 5 interleaved rounds, median speed against dd bs=64K of the same round (warm /
// cold): 16 x 1 MiB 0.68 / 0.78, 8 x 4 MiB 0.63 / 0.72, 32 x 2 MiB 0.64 / 0.59, 4 x 16 MiB
// 0.53 / 0.56. Reads of 1 MiB keep the drive's read-ahead streaming, and 16 MiB in flight let
// the reader run on while the writer waits for the image's disk.
constexpr std::size_t kBufferCount = 16;
constexpr std::size_t kBufferSize = 1 << 20;

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

// Reads the whole drive on a second thread while this one hands its bytes to the sink: the
// run's two stages. `driveSha256` is the SHA-256 of every byte read.
Failure ReadThrough(CopyJob& job, drive::DriveHandle device, std::uint64_t total, ImageSink& sink,
                    std::string& driveSha256) {
    job.progress.doneBytes.store(0, std::memory_order_relaxed);
    job.progress.startTime.store(std::time(nullptr), std::memory_order_release);
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
    return reader.FinishDigest(driveSha256);
}

// A verify pass keeps nothing of what it reads but its digest.
class DiscardingSink : public ImageSink {
public:
    Failure Write(const std::byte* /*data*/, std::size_t /*size*/) override { return {}; }
    Failure Finish() override { return {}; }
    Failure FileSha256(std::string& hex) override {
        hex.clear();
        return {};
    }
};

// Reads the drive again, from the card itself rather than from the cache, and compares it with
// what was imaged.
Failure Verify(CopyJob& job, drive::DriveHandle device, std::uint64_t total,
               const std::string& expectedSha256) {
    job.progress.verifying.store(true, std::memory_order_relaxed);
    drive::ForgetCachedReads(device);
    DiscardingSink discard;
    std::string sha256;
    if (Failure failure = ReadThrough(job, device, total, discard, sha256)) {
        return failure;
    }
    if (sha256 != expectedSha256) {
        return {FailureReason::ContentDiffers, 0, {}};
    }
    job.result.verified = true;
    return {};
}

std::string ReadSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Only the drive is read; the image and its files are never opened for writing.
Failure VerifyAgainstChecksumFile(CopyJob& job, drive::DriveHandle device, std::uint64_t total) {
    const std::string checksumPath = job.request.imagePath + kChecksumSuffix;
    std::string driveSha256;
    std::uint64_t driveBytes = 0;
    if (!ReadDriveLine(ReadSmallFile(checksumPath), driveSha256, driveBytes)) {
        return {FailureReason::ChecksumFailed, 0, "no drive line in " + checksumPath};
    }
    if (driveBytes != total) {
        return {FailureReason::ContentDiffers, 0,
                "the drive holds " + std::to_string(total) + " bytes, the image " +
                    std::to_string(driveBytes)};
    }
    return Verify(job, device, total, driveSha256);
}

Failure ImageDrive(CopyJob& job, drive::DriveHandle device, std::uint64_t capacity) {
    const CopyRequest& request = job.request;
    const ImageFormat format = FormatOfName(request.imagePath);
    job.result.format = format;
    std::vector<std::string> sideSuffixes = {kChecksumSuffix};
    if (request.rescue.enabled) {
        sideSuffixes.push_back(kMapSuffix);
    }
    ImageFile image;
    // A raw image is as long as the drive; a compressed one's length is known only at its end.
    const std::uint64_t length = format == ImageFormat::Raw ? capacity : 0;
    if (Failure failure = image.Open(request.imagePath, device, sideSuffixes, length)) {
        return failure;
    }
    std::unique_ptr<ImageSink> sink;
    if (Failure failure = OpenSink(format, image, capacity, sink)) {
        return failure;
    }
    drive::AdviseSequentialRead(device);
    std::string driveSha256;
    if (Failure failure = ReadThrough(job, device, capacity, *sink, driveSha256)) {
        return failure;
    }
    std::string fileSha256;
    if (Failure failure = sink->Finish()) {
        return failure;
    }
    if (Failure failure = sink->FileSha256(fileSha256)) {
        return failure;
    }
    if (fileSha256.empty()) {
        fileSha256 = driveSha256;
    }
    std::vector<SideFile> sideFiles = {
        {kChecksumSuffix, ChecksumFile(fileSha256, image.Name(), driveSha256, capacity)}};
    if (request.rescue.enabled) {
        sideFiles.push_back({kMapSuffix, FormatRescueMap(capacity, job.result.unreadableRanges)});
    }
    job.result.imageBytes = image.Length();
    // Only an image that reached stable storage, with its side files, counts as a success.
    if (Failure failure = image.Commit(sideFiles)) {
        return failure;
    }
    job.result.driveSha256 = driveSha256;
    job.result.driveBytes = capacity;
    return request.verifyAfter ? Verify(job, device, capacity, driveSha256) : Failure{};
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
    const std::uint64_t capacity = drive::DriveCapacity(device.Get());
    job.progress.totalBytes.store(capacity, std::memory_order_relaxed);
    if (capacity == 0) {
        return {FailureReason::CapacityUnknown, 0, {}};
    }
    return request.verifyOnly ? VerifyAgainstChecksumFile(job, device.Get(), capacity)
                              : ImageDrive(job, device.Get(), capacity);
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
