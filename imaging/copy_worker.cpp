#include "copy_worker.h"

#include <atomic>
#include <ctime>
#include <filesystem>
#include <memory>

#include "buffer_ring.h"
#include "digest.h"
#include "drive_details.h"
#include "drive_reader.h"
#include "image_file.h"
#include "image_info.h"
#include "image_sink.h"
#include "partition_layout.h"
#include "rescue.h"
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

// What a pass over the drive found of its bytes: their SHA-256, and the extra hashes asked for.
struct DriveDigests {
    std::string sha256;
    std::vector<NamedDigest> extra;
};

// Reads the whole drive on a second thread while this one hands its bytes to the sink: the
// run's two stages.
Failure ReadThrough(CopyJob& job, drive::DriveHandle device, std::uint64_t total,
                    const PartitionsPlan* plan, const std::vector<HashKind>& extraHashes,
                    ImageSink& sink, DriveDigests& digests) {
    job.progress.doneBytes.store(0, std::memory_order_relaxed);
    job.progress.startTime.store(std::time(nullptr), std::memory_order_release);
    BufferRing ring(kBufferCount, kBufferSize);
    DriveReader reader(job, device, total, SectorSize(device), ring, plan, extraHashes);
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
    if (Failure failure = reader.FinishDigest(digests.sha256)) {
        return failure;
    }
    return reader.FinishExtraDigests(digests.extra);
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
               const PartitionsPlan* plan, const std::string& expectedSha256) {
    job.progress.verifying.store(true, std::memory_order_relaxed);
    drive::ForgetCachedReads(device);
    DiscardingSink discard;
    DriveDigests digests;
    if (Failure failure = ReadThrough(job, device, total, plan, {}, discard, digests)) {
        return failure;
    }
    if (digests.sha256 != expectedSha256) {
        return {FailureReason::ContentDiffers, 0, {}};
    }
    job.result.verified = true;
    return {};
}

// The drive's bytes for reading its partition table: whole pieces or nothing.
SectorReader SectorsOf(drive::DriveHandle device) {
    return [device](std::uint64_t offset, void* buffer, std::size_t size) {
        auto* bytes = static_cast<std::byte*>(buffer);
        for (std::size_t done = 0; done < size;) {
            std::size_t got = 0;
            if (drive::ReadDrive(device, bytes + done, size - done, offset + done, got) ||
                got == 0) {
                return false;
            }
            done += got;
        }
        return true;
    };
}

// The image file's SHA-256 against `expected`, read on its own while the drive is read, so a
// card-speed verify takes no longer for it. Stops early, Cancelled, once `stop` is set.
Failure CheckImageFile(const CopyJob& job, const std::string& expected,
                       const std::atomic<bool>& stop) {
    const std::string& path = job.request.imagePath;
    ImageHandle file;
    if (Failure failure = OpenToRead(path, file)) {
        return failure;
    }
    std::vector<std::byte> buffer(kBufferSize);
    Digest digest;
    std::size_t got = 0;
    do {
        if (CancelRequested(job) || stop.load(std::memory_order_relaxed)) {
            return {FailureReason::Cancelled, 0, {}};
        }
        if (Failure failure = ReadSome(file, buffer.data(), buffer.size(), got)) {
            return failure;
        }
        digest.Update(buffer.data(), got);
    } while (got > 0);
    std::string hex;
    if (Failure failure = digest.Finish(hex)) {
        return failure;
    }
    const std::string name = std::filesystem::path(path).filename().string();
    return hex == expected ? Failure{}
                           : Failure{FailureReason::ChecksumFailed, 0,
                                     name + " differs from its line in " + name + kChecksumSuffix +
                                         ": the image is damaged"};
}

// Only the drive and the image are read; the image and its files are never opened for writing.
// A match needs both: the drive's bytes and the image file each equal to their checksum line.
Failure VerifyAgainstChecksumFile(CopyJob& job, drive::DriveHandle device, std::uint64_t total) {
    const std::string checksumPath = job.request.imagePath + kChecksumSuffix;
    std::string checksums;
    if (Failure failure = ReadSideFile(checksumPath, kLongestChecksumFile, checksums)) {
        return {FailureReason::ChecksumFailed, failure.error, failure.message};
    }
    std::string driveSha256;
    std::string fileSha256;
    std::uint64_t driveBytes = 0;
    if (!ReadDriveLine(checksums, driveSha256, driveBytes) ||
        !ReadFileLine(checksums, fileSha256)) {
        return {FailureReason::ChecksumFailed, 0, "no file and drive line in " + checksumPath};
    }
    // An image of the partitions only is compared with the drive as such an image would take it.
    PartitionsPlan plan;
    std::string why;
    const bool partitions =
        driveBytes != total &&
        PlanPartitionsOnly(SectorsOf(device), total, SectorSize(device), plan, why) &&
        plan.imageBytes == driveBytes;
    if (driveBytes != total && !partitions) {
        return {FailureReason::ContentDiffers, 0,
                "the drive holds " + std::to_string(total) + " bytes, the image " +
                    std::to_string(driveBytes)};
    }
    // Whichever side fails first stops the other: the answer is known.
    Failure imageFailure;
    Failure driveFailure;
    std::atomic<bool> driveEnded{false};
    const bool ran = RunBesideAtThisPriority(
        [&] {
            imageFailure = CheckImageFile(job, fileSha256, driveEnded);
            if (imageFailure && imageFailure.reason != FailureReason::Cancelled) {
                RequestCancel(job);
            }
        },
        [&] {
            driveFailure = Verify(job, device, total, partitions ? &plan : nullptr, driveSha256);
            if (driveFailure) {
                driveEnded.store(true, std::memory_order_relaxed);
            }
        });
    if (!ran) {
        return {FailureReason::WorkerNotStarted, 0, "no thread to read the image"};
    }
    if (imageFailure.reason == FailureReason::Cancelled && driveFailure) {
        return driveFailure;
    }
    if (imageFailure && driveFailure.reason == FailureReason::ContentDiffers) {
        imageFailure.message += "; the drive differs from it too";
    }
    return imageFailure ? imageFailure : driveFailure;
}

// Which bytes a partitions-only run takes; the whole drive, with the reason noted, where the
// table does not say.
const PartitionsPlan* PlanImage(CopyJob& job, drive::DriveHandle device, std::uint64_t capacity,
                                PartitionsPlan& plan) {
    if (!job.request.partitionsOnly) {
        return nullptr;
    }
    if (!PlanPartitionsOnly(SectorsOf(device), capacity, SectorSize(device), plan,
                            job.result.wholeDriveBecause)) {
        return nullptr;
    }
    job.result.partitionTable = plan.table;
    return &plan;
}

// IMAGE.md5 and IMAGE.sha1, for md5sum -c and sha1sum -c: only where the file holds the drive's
// bytes as they were hashed, a raw image.
std::vector<SideFile> ExtraChecksumFiles(const ImageFile& image, const CopyResult& result) {
    std::vector<SideFile> files;
    if (result.format != ImageFormat::Raw) {
        return files;
    }
    for (const NamedDigest& digest : result.extraDigests) {
        files.push_back(
            {std::string(".") + HashName(digest.kind), ChecksumLine(digest.hex, image.Name())});
    }
    return files;
}

Failure ImageDrive(CopyJob& job, drive::DriveHandle device, std::uint64_t capacity,
                   RunRecord& record) {
    const CopyRequest& request = job.request;
    const ImageFormat format = FormatOfName(request.imagePath);
    job.result.format = format;
    PartitionsPlan planned;
    const PartitionsPlan* plan = PlanImage(job, device, capacity, planned);
    const std::uint64_t imaged = plan != nullptr ? plan->imageBytes : capacity;
    job.result.restorableBytes = imaged;
    job.progress.totalBytes.store(imaged, std::memory_order_relaxed);
    if (request.rescue.enabled) {
        return RescueDrive(job, device, capacity, SectorSize(device), plan, record);
    }
    ImageFile image;
    // A raw image is as long as what it takes; a compressed one's length is known at its end.
    const std::uint64_t length = format == ImageFormat::Raw ? imaged : 0;
    const std::vector<std::string> sideSuffixes(kSideSuffixes.begin(), kSideSuffixes.end());
    if (Failure failure = image.Open(request.imagePath, device, sideSuffixes, length)) {
        return failure;
    }
    job.result.replacing = !image.InPlace();
    std::unique_ptr<ImageSink> sink;
    if (Failure failure = OpenSink(format, image, imaged, sink)) {
        return failure;
    }
    drive::AdviseSequentialRead(device);
    DriveDigests digests;
    if (Failure failure =
            ReadThrough(job, device, capacity, plan, request.extraHashes, *sink, digests)) {
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
        fileSha256 = digests.sha256;
    }
    std::string checksums = ChecksumFile(fileSha256, image.Name(), digests.sha256, imaged);
    if (plan != nullptr) {
        checksums += PartitionsOnlyLine(plan->table, imaged);
    }
    CopyResult& result = job.result;
    result.imageBytes = image.Length();
    result.driveSha256 = digests.sha256;
    result.extraDigests = digests.extra;
    result.fileSha256 = fileSha256;
    result.driveBytes = imaged;
    record.started = job.progress.startTime.load(std::memory_order_relaxed);
    record.ended = std::time(nullptr);
    record.verify = request.verifyAfter ? "pending" : "not asked";
    std::vector<SideFile> sideFiles = ExtraChecksumFiles(image, result);
    sideFiles.push_back({kChecksumSuffix, checksums});
    sideFiles.push_back({kInfoSuffix, ImageInfo(image.Name(), request, result, record)});
    // Only an image that reached stable storage, with its side files, counts as a success.
    if (Failure failure = image.Commit(sideFiles)) {
        result.driveSha256.clear();
        return failure;
    }
    if (!request.verifyAfter) {
        return {};
    }
    const Failure verified = Verify(job, device, capacity, plan, digests.sha256);
    record.verify = verified ? "failed: " + DescribeFailure(verified) : "passed";
    const Failure updated =
        image.UpdateSideFile({kInfoSuffix, ImageInfo(image.Name(), request, result, record)});
    return verified ? verified : updated;
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
    if (request.verifyOnly) {
        return VerifyAgainstChecksumFile(job, device.Get(), capacity);
    }
    RunRecord record;
    record.source = drive::DescribeOpenDrive(device.Get(), request.devicePath);
    record.source.length = capacity;
    return ImageDrive(job, device.Get(), capacity, record);
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
