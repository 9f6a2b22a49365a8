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

bool CancelRequested(const CopyJob& job) {
    return job.runState.load(std::memory_order_relaxed) == RunState::CancelRequested;
}

// After a failed read of the chunk at `offset`: the chunk is read again sector by sector, and
// the bytes before its first bad sector are ready to be written. In a rescue, each sector that
// fails is tried again up to the retries, then taken as zeros and noted as unreadable, and the
// whole chunk is ready unless a cancel stops it. Returns the bytes ready in transferBuffer.
std::size_t RereadChunk(CopyJob& job, drive::DriveHandle device, std::uint64_t offset,
                        std::size_t size, std::size_t sector) {
    std::byte* const buffer = job.transferBuffer.data();
    std::size_t ready = drive::ReadUntilBadSector(device, buffer, offset, size, sector);
    if (!job.rescue.enabled) {
        return ready;
    }
    while (ready < size && !CancelRequested(job)) {
        const std::size_t piece = std::min(sector, size - ready);
        bool read = false;
        for (int attempt = 0; attempt < job.rescue.retries && !read; ++attempt) {
            read = drive::ReadUntilBadSector(device, buffer + ready, offset + ready, piece,
                                             sector) == piece;
        }
        if (!read) {
            std::fill_n(buffer + ready, piece, std::byte{0});
            AddRange(job.unreadableRanges, {offset + ready, piece});
            job.unreadableBytes.fetch_add(piece, std::memory_order_relaxed);
        }
        ready += piece;
        ready +=
            drive::ReadUntilBadSector(device, buffer + ready, offset + ready, size - ready, sector);
    }
    return ready;
}

// Chunk by chunk from the drive's first byte, never past totalBytes. A read that returns nothing
// before the total is reached means the drive has gone away or shrunk. A failed read may have
// failed for a bad sector further on, fetched with it by read-ahead: the chunk is read again
// sector by sector, and the copy goes on if all of it reads (or a rescue filled it); otherwise
// the image keeps every sector before the bad one and the run ends.
Failure CopyChunks(CopyJob& job, drive::DriveHandle device, ImageWriter& writer,
                   std::size_t sector) {
    const std::uint64_t total = job.totalBytes.load(std::memory_order_relaxed);
    std::byte* const buffer = job.transferBuffer.data();
    while (writer.Done() < total) {
        if (CancelRequested(job)) {
            return {FailureReason::Cancelled, 0};
        }
        const std::uint64_t done = writer.Done();
        const std::uint64_t remaining = total - done;
        const std::int64_t got = drive::ReadDrive(device, buffer, kChunkSize, done);
        if (got < 0) {
            const Failure readError = Fail(FailureReason::ReadError);
            const std::size_t wanted = std::min<std::uint64_t>(kChunkSize, remaining);
            const std::size_t ready = RereadChunk(job, device, done, wanted, sector);
            if (ready > 0) {
                if (const Failure failure = writer.Append(buffer, ready)) {
                    return failure;
                }
            }
            if (ready < wanted) {
                return CancelRequested(job) ? Failure{FailureReason::Cancelled, 0} : readError;
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

std::size_t SectorSize(drive::DriveHandle device) {
    drive::DriveGeometry geometry;
    return drive::QueryDriveGeometry(device, geometry) != 0 && geometry.BytesPerSector != 0
               ? geometry.BytesPerSector
               : 512;
}

// Every handle opened here is closed before this returns, on every path.
Failure CopyDriveToImage(CopyJob& job) {
    drive::DriveHandle deviceHandle = drive::kInvalidDriveHandle;
    if (drive::OpenDriveAskingAccess(job.devicePath, deviceHandle) == 0) {
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
    if (const Failure failure = CopyChunks(job, device.Get(), writer, SectorSize(device.Get()))) {
        return failure;
    }
    const std::string hex = digest.Finish(capacity);
    if (hex.empty()) {
        return {FailureReason::ChecksumFailed, 0};
    }
    std::vector<SideFile> sideFiles = {{".sha256", ChecksumLine(hex, image.Name())}};
    if (job.rescue.enabled) {
        sideFiles.push_back({".map", FormatRescueMap(capacity, job.unreadableRanges)});
    }
    // Only an image that reached stable storage, with its side files, counts as a success.
    return image.Commit(sideFiles);
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
