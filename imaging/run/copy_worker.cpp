#include "run/copy_worker.h"

#include <atomic>
#include <ctime>
#include <filesystem>
#include <memory>

#include "drive_details.h"
#include "drive_reads.h"
#include "image/block_map.h"
#include "image/image_file.h"
#include "image/image_sink.h"
#include "image/mapping_sink.h"
#include "layout/partition_layout.h"
#include "read/checksum_verify.h"
#include "read/confirmed_drive.h"
#include "read/digest.h"
#include "read/drive_pass.h"
#include "rescue/rescue.h"
#include "restore/restore.h"
#include "run/image_info.h"
#include "scoped_drive.h"
#include "stage/buffer_ring.h"
#include "stage/pass.h"

namespace imaging {
namespace {

using error::DescribeFailure;
using error::Failure;
using error::FailureReason;

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
    const RescueTask task{request.imagePath, job.result.format, request.retries,
                          request.drive.identity};
    const JobLink run(job);
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
    const DrivePass pass{device, request.drive.identity, capacity, plan, request.ringBuffers};
    if (request.task == Task::Rescue) {
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
    const JobLink run(job);
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
    const Failure verified = VerifyDrive(run, pass, digests.sha256);
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
    if (Failure failure = drive::OpenDriveAskingAccess(request.drive.node, deviceHandle)) {
        return failure;
    }
    const drive::ScopedDrive device(deviceHandle);
    if (drive::IsRemovableDrive(device.Get()) == 0) {
        return {FailureReason::NotRemovable, 0, {}};
    }
    // Disks plugged in or out since the list was shown shift the indexes: the path may now
    // lead to another disk than the one the user chose.
    if (Failure changed = CheckConfirmedDrive(device.Get(), request.drive)) {
        return changed;
    }
    const std::uint64_t capacity = drive::DriveCapacity(device.Get());
    job.progress.totalBytes.store(capacity, std::memory_order_relaxed);
    if (capacity == 0) {
        return {FailureReason::CapacityUnknown, 0, {}};
    }
    if (request.task == Task::Verify) {
        const Failure failure = VerifyAgainstChecksumFile(
            JobLink(job), request.imagePath, device.Get(), request.drive.identity, capacity);
        job.result.verified = !failure;
        return failure;
    }
    RunRecord record;
    record.source = drive::DescribeOpenDrive(device.Get(), request.drive.node);
    record.source.length = capacity;
    return ImageDrive(job, device.Get(), capacity, record);
}

}  // namespace

void RunCopyJob(CopyJob& job) {
    if (job.request.task != Task::Restore) {
        EndRun(job, CopyDriveToImage(job));
        return;
    }
    const CopyRequest& request = job.request;
    const RestoreTask task{request.imagePath, request.drive, request.restore, request.verifyAfter,
                           request.ringBuffers};
    EndRun(job, RestoreImage(JobLink(job), task, job.result.restored));
}

unsigned CopyThreadProc(void* parameter) {
    RunCopyJob(*static_cast<CopyJob*>(parameter));
    return 1;
}

}  // namespace imaging
