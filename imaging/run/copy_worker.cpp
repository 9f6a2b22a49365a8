#include "run/copy_worker.h"

#include <atomic>
#include <ctime>
#include <filesystem>
#include <memory>

#include "drive_details.h"
#include "drive_reads.h"
#include "image/block_map.h"
#include "image/image_file.h"
#include "image/image_info.h"
#include "image/image_sink.h"
#include "image/mapping_sink.h"
#include "layout/partition_layout.h"
#include "read/buffer_ring.h"
#include "read/digest.h"
#include "read/drive_reader.h"
#include "rescue/rescue.h"
#include "restore/restore.h"
#include "scoped_drive.h"
#include "write/write_from_ring.h"

namespace imaging {
namespace {

using error::DescribeFailure;
using error::Failure;
using error::FailureReason;

// One pass over a drive: which drive it must be, how far to read, and the partitions-only plan
// where there is one.
struct DrivePass {
    drive::DriveHandle device;
    drive::DriveIdentity expected;
    std::uint64_t total = 0;
    const PartitionsPlan* plan = nullptr;
};

// What a pass over the drive found of its bytes: their SHA-256, and the extra hashes asked for;
// and why its reads were not queued as they should have been, if they were not.
struct DriveDigests {
    std::string sha256;
    std::vector<NamedDigest> extra;
    std::string queueNote;
};

// Reads the whole drive on a second thread while this one hands its bytes to the sink: the
// run's two stages.
Failure ReadThrough(const StageLink& run, const DrivePass& pass,
                    const std::vector<HashKind>& extraHashes, ImageSink& sink,
                    DriveDigests& digests) {
    run.Begin();
    BufferRing ring(kRunBufferCount, kRunBufferSize, run.Times());
    DriveReader reader(run, pass.device, pass.expected, pass.total,
                       drive::DriveSectorSize(pass.device), ring, pass.plan, extraHashes);
    const Failure failure = RunPass(
        run, ring, [&] { reader.Run(); }, sink);
    digests.queueNote = reader.Queue().fellBack;
    if (failure) {
        return failure;
    }
    if (Failure failure = reader.FinishDigest(digests.sha256)) {
        return failure;
    }
    return reader.FinishExtraDigests(digests.extra);
}

// A verify pass keeps nothing of what it reads but its digest.
class DiscardingSink : public StreamSink {
public:
    Failure Write(const std::byte* /*data*/, std::size_t /*size*/) override { return {}; }
    Failure Finish() override { return {}; }
    Failure FileSha256(std::string& hex) override {
        hex.clear();
        return {};
    }
};

// Reads the drive again, from the card itself rather than from the cache, and compares it with
// what was imaged: ContentDiffers when it holds other bytes. A sector that fails now says so as a
// verify's failure: the image is complete, whatever an imaging run's bad sector would mean.
Failure Verify(const StageLink& run, const DrivePass& pass, const std::string& expectedSha256) {
    run.Verifying();
    drive::ForgetCachedReads(pass.device);
    DiscardingSink discard;
    DriveDigests digests;
    if (Failure failure = ReadThrough(run, pass, {}, discard, digests)) {
        if (failure.at) {
            const std::uint64_t at = *failure.at;
            failure.at.reset();
            return error::InContext(failure,
                                    "reading the drive again, at byte " + std::to_string(at));
        }
        return failure;
    }
    return digests.sha256 == expectedSha256 ? Failure{}
                                            : Failure{FailureReason::ContentDiffers, 0, {}};
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
Failure CheckImageFile(const StageLink& run, const std::string& path, const std::string& expected,
                       const std::atomic<bool>& stop) {
    ImageHandle file;
    if (Failure failure = OpenToRead(path, file)) {
        return failure;
    }
    std::vector<std::byte> buffer(kRunBufferSize);
    Digest digest;
    std::size_t got = 0;
    do {
        if (run.Cancelled() || stop.load(std::memory_order_relaxed)) {
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
    const StageLink run(job);
    const std::string& imagePath = job.request.imagePath;
    const std::string checksumPath = imagePath + kChecksumSuffix;
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
    const bool partitions =
        driveBytes != total &&
        !PlanPartitionsOnly(SectorsOf(device), total, drive::DriveSectorSize(device), plan) &&
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
    const DrivePass pass{device, job.request.expectedDrive, total, partitions ? &plan : nullptr};
    const bool ran = RunBesideAtThisPriority(
        [&] {
            imageFailure = CheckImageFile(run, imagePath, fileSha256, driveEnded);
            if (imageFailure && imageFailure.reason != FailureReason::Cancelled) {
                RequestCancel(job);
            }
        },
        [&] {
            driveFailure = Verify(run, pass, driveSha256);
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

// What a rescue found, as the run's result tells it.
void TakeFindings(const RescueFindings& found, CopyResult& result) {
    result.driveBytes = found.imaged;
    result.imageBytes = found.imageBytes;
    result.unreadableBytes = found.unreadableBytes;
    result.unreadableRanges = found.unreadable;
    result.fileSha256 = found.fileSha256;
    result.driveSha256 = found.complete && found.whole ? found.fileSha256 : std::string();
}

Failure Rescue(CopyJob& job, const DrivePass& pass, std::uint64_t capacity, RunRecord& record) {
    const CopyRequest& request = job.request;
    const RescueTask task{request.imagePath, job.result.format, request.rescue.retries,
                          request.expectedDrive};
    const StageLink run(job);
    // The record of a rescue is written with the image, from what the rescue found by then.
    const RecordText recordText = [&](const RescueFindings& found) {
        CopyResult result = job.result;
        TakeFindings(found, result);
        // The record goes in with the commit, so it cannot wait for `complete`.
        result.driveSha256 = found.whole ? found.fileSha256 : std::string();
        record.started = run.StartTime();
        record.ended = std::time(nullptr);
        return ImageInfo(std::filesystem::path(request.imagePath).filename().string(), request,
                         result, record);
    };
    RescueFindings found;
    const Failure failure =
        RescueDrive(run, task, pass.device, capacity, drive::DriveSectorSize(pass.device),
                    pass.plan, recordText, found);
    TakeFindings(found, job.result);
    return failure;
}

// The run's flow: plan, read through the sink into the image, commit it with its side files,
// then verify where asked. Only this fills the result, from what each stage returned.
Failure ImageDrive(CopyJob& job, drive::DriveHandle device, std::uint64_t capacity,
                   RunRecord& record) {
    const CopyRequest& request = job.request;
    CopyResult& result = job.result;
    const ImageFormat format = FormatOfName(request.imagePath);
    result.format = format;
    PartitionsPlan planned;
    const PartitionsPlan* plan = nullptr;
    if (request.partitionsOnly) {
        // Where the table does not say which bytes to take, the whole drive is, and why is noted.
        if (Failure unusable = PlanPartitionsOnly(SectorsOf(device), capacity,
                                                  drive::DriveSectorSize(device), planned)) {
            result.wholeDriveBecause = unusable.message;
        } else {
            plan = &planned;
            result.partitionTable = planned.table;
        }
    }
    const std::uint64_t imaged = plan != nullptr ? plan->imageBytes : capacity;
    result.restorableBytes = imaged;
    job.progress.totalBytes.store(imaged, std::memory_order_relaxed);
    const DrivePass pass{device, request.expectedDrive, capacity, plan};
    if (request.rescue.enabled) {
        return Rescue(job, pass, capacity, record);
    }
    ImageFile image;
    // A raw image is as long as what it takes; a compressed one's length is known at its end.
    const std::uint64_t length = format == ImageFormat::Raw ? imaged : 0;
    const std::vector<std::string> sideSuffixes(kSideSuffixes.begin(), kSideSuffixes.end());
    if (Failure failure = image.Open(request.imagePath, device, sideSuffixes, length)) {
        return failure;
    }
    result.replacing = !image.InPlace();
    std::unique_ptr<ImageSink> sink;
    const StageLink run(job);
    if (Failure failure = OpenSink(format, image, imaged, sink, run.Times())) {
        return failure;
    }
    drive::AdviseSequentialRead(device);
    DriveDigests digests;
    BlockMapBuilder mapping;
    MappingSink mapped(*sink, mapping);
    if (Failure failure = ReadThrough(run, pass, request.extraHashes, mapped, digests)) {
        return failure;
    }
    BlockMap blockMap;
    if (Failure failure = mapping.Finish(blockMap)) {
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
    result.imageBytes = image.Length();
    result.queueNote = digests.queueNote;
    result.driveSha256 = digests.sha256;
    result.extraDigests = digests.extra;
    result.fileSha256 = fileSha256;
    result.driveBytes = imaged;
    record.started = run.StartTime();
    record.ended = std::time(nullptr);
    record.verify = request.verifyAfter ? "pending" : "not asked";
    std::vector<SideFile> sideFiles = ExtraChecksumFiles(image, result);
    sideFiles.push_back({kChecksumSuffix, checksums});
    sideFiles.push_back({kBlockMapSuffix, BlockMapText(blockMap)});
    sideFiles.push_back({kInfoSuffix, ImageInfo(image.Name(), request, result, record)});
    // Only an image that reached stable storage, with its side files, counts as a success.
    if (Failure failure = image.Commit(sideFiles)) {
        result.driveSha256.clear();
        return failure;
    }
    if (!request.verifyAfter) {
        return {};
    }
    const Failure verified = Verify(run, pass, digests.sha256);
    result.verified = !verified;
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
        const Failure failure = VerifyAgainstChecksumFile(job, device.Get(), capacity);
        job.result.verified = !failure;
        return failure;
    }
    RunRecord record;
    record.source = drive::DescribeOpenDrive(device.Get(), request.devicePath);
    record.source.length = capacity;
    return ImageDrive(job, device.Get(), capacity, record);
}

}  // namespace

void RunCopyJob(CopyJob& job) {
    EndRun(job, job.request.restore.enabled ? RestoreImage(job) : CopyDriveToImage(job));
}

unsigned CopyThreadProc(void* parameter) {
    RunCopyJob(*static_cast<CopyJob*>(parameter));
    return 1;
}

}  // namespace imaging
