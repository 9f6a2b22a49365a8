#include "copy_worker.h"

#include <algorithm>
#include <ctime>

#include "copy_job.h"
#include "drive_probe.h"
#include "image_digest.h"
#include "image_file.h"
#include "scoped_drive.h"

namespace imaging {
namespace {

Failure Fail(FailureReason reason) {
    return {reason, drive::LastSystemError()};
}

// The image, its digest and how far both have come; doneBytes follows every chunk.
class ImageWriter {
public:
    ImageWriter(CopyJob& job, ImageFile& image, ImageDigest& digest)
        : m_job(job), m_image(image), m_digest(digest) {}

    Failure Append(const std::byte* data, std::size_t size) {
        if (!m_image.Write(data, size)) {
            return Fail(FailureReason::WriteError);
        }
        m_digest.Written(data, size, m_done + size);
        if (!m_image.PaceWriteback(m_done, m_done + size, m_digest)) {
            return Fail(FailureReason::WriteError);
        }
        m_done += size;
        m_job.doneBytes.store(m_done, std::memory_order_relaxed);
        return {};
    }

    std::uint64_t Done() const { return m_done; }

private:
    CopyJob& m_job;
    ImageFile& m_image;
    ImageDigest& m_digest;
    std::uint64_t m_done = 0;
};

// Chunk by chunk from the drive's first byte, never past totalBytes. A read that returns nothing
// before the total is reached means the drive has gone away or shrunk. A failed read may have
// failed for a bad sector further on, fetched with it by read-ahead: the chunk is read again
// sector by sector, and the copy goes on if all of it reads; otherwise the image keeps every
// sector before the bad one and the run ends.
Failure CopyChunks(CopyJob& job, drive::DriveHandle device, ImageWriter& writer) {
    const std::uint64_t total = job.totalBytes.load(std::memory_order_relaxed);
    std::byte* const buffer = job.transferBuffer.data();
    while (writer.Done() < total) {
        if (job.runState.load(std::memory_order_relaxed) == RunState::CancelRequested) {
            return {FailureReason::Cancelled, 0};
        }
        const std::uint64_t done = writer.Done();
        const std::uint64_t remaining = total - done;
        const std::int64_t got = drive::ReadDrive(device, buffer, kChunkSize);
        if (got < 0) {
            const Failure readError = Fail(FailureReason::ReadError);
            const std::size_t wanted = std::min<std::uint64_t>(kChunkSize, remaining);
            const std::size_t salvaged = drive::ReadUntilBadSector(device, buffer, done, wanted);
            if (salvaged == 0) {
                return readError;
            }
            if (const Failure failure = writer.Append(buffer, salvaged)) {
                return failure;
            }
            if (salvaged < wanted) {
                return readError;
            }
            continue;
        }
        const std::uint64_t chunk = std::min(static_cast<std::uint64_t>(got), remaining);
        if (chunk == 0) {
            return {FailureReason::DriveEndedEarly, 0};
        }
        if (const Failure failure = writer.Append(buffer, chunk)) {
            return failure;
        }
        drive::KeepReadingAhead(device, done, done + chunk);
    }
    return {};
}

// Every handle opened here is closed before this returns, on every path.
Failure CopyDriveToImage(CopyJob& job) {
    drive::DriveHandle deviceHandle = drive::kInvalidDriveHandle;
    if (drive::OpenDrive(job.devicePath, deviceHandle) == 0) {
        return Fail(FailureReason::DriveNotOpened);
    }
    const drive::ScopedDrive device(deviceHandle);
    if (drive::IsRemovableDrive(device.Get()) == 0) {
        return {FailureReason::NotRemovable, 0};
    }
    // Disks plugged in or out since the list was shown shift the indexes: the path may now
    // lead to another disk than the one the user chose.
    if (job.expectedDrive != drive::DriveIdentity{} &&
        drive::QueryDriveIdentity(device.Get()) != job.expectedDrive) {
        return {FailureReason::DriveChanged, 0};
    }
    ImageFile image;
    if (const Failure failure = image.Open(job.imagePath, device.Get())) {
        return failure;
    }
    const std::uint64_t capacity = drive::DriveCapacity(device.Get());
    job.totalBytes.store(capacity, std::memory_order_relaxed);
    if (capacity == 0) {
        return {FailureReason::CapacityUnknown, 0};
    }
    ImageDigest digest(image);
    if (!digest.IsReady()) {
        return {FailureReason::ChecksumFailed, 0};
    }
    job.startTime.store(std::time(nullptr), std::memory_order_release);
    drive::AdviseSequentialRead(device.Get());
    ImageWriter writer(job, image, digest);
    if (const Failure failure = CopyChunks(job, device.Get(), writer)) {
        return failure;
    }
    const std::string hex = digest.Finish(capacity);
    if (hex.empty()) {
        return {FailureReason::ChecksumFailed, 0};
    }
    // Only an image that reached stable storage, with its checksum, counts as a success.
    return image.Commit(ChecksumLine(hex, image.Name()));
}

}  // namespace

void RunCopyJob(CopyJob& job) {
    EndRun(job, CopyDriveToImage(job));
}

unsigned CopyThreadProc(void* /*parameter*/) {
    RunCopyJob(TheCopyJob());
    return 1;
}

}  // namespace imaging
