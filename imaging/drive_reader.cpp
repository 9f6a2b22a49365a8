#include "drive_reader.h"

#include <algorithm>

namespace imaging {
namespace {

using drive::Failure;

// After a failed read, this much is read again sector by sector before the normal reads go on:
// a read fails for the whole read-ahead window it fetched, so the bad sector may lie anywhere in
// the next 64 KiB, and reading sector by sector costs a round trip to the card per sector.
constexpr std::size_t kRereadSize = 64 * 1024;

}  // namespace

DriveReader::DriveReader(CopyJob& job, drive::DriveHandle device, std::uint64_t total,
                         std::size_t sectorSize, BufferRing& ring, const PartitionsPlan* plan)
    : m_job(job),
      m_device(device),
      m_driveLength(total),
      m_total(plan != nullptr ? plan->driveBytes : total),
      m_sectorSize(sectorSize),
      m_ring(ring),
      m_plan(plan),
      m_probe(static_cast<std::byte*>(::operator new[](sectorSize, kBufferAlignment))) {}

void DriveReader::Run() {
    Failure failure;
    std::uint64_t offset = 0;
    while (offset < m_total && !failure) {
        DriveBuffer* buffer = m_ring.NextEmpty();
        if (buffer == nullptr) {
            break;
        }
        const std::size_t want = std::min<std::uint64_t>(buffer->capacity, m_total - offset);
        failure = Fill(*buffer, offset, want);
        Patch(*buffer);
        m_digest.Update(buffer->bytes.get(), buffer->length);
        offset += buffer->length;
        m_ring.HandOver(buffer);
    }
    if (!failure && offset == m_total) {
        HandOverTail();
    }
    m_ring.Finish(std::move(failure));
}

// A pulled card or a dead reader fails every read: it says so outright, or its length or identity
// changed, or the first sector, read at the start, no longer reads from the drive itself. A worn
// card still reads it.
bool DriveReader::DriveIsGone(const Failure& failure, std::uint64_t position) {
    const drive::DriveIdentity& expected = m_job.request.expectedDrive;
    if (drive::MeansDriveGone(failure.error) || drive::DriveCapacity(m_device) != m_driveLength ||
        (expected != drive::DriveIdentity{} && drive::QueryDriveIdentity(m_device) != expected)) {
        return true;
    }
    std::size_t got = 0;
    return position > 0 && static_cast<bool>(drive::ReadUntilBadSector(
                               m_device, m_probe.get(), 0, m_sectorSize, m_sectorSize, got));
}

void DriveReader::Patch(DriveBuffer& buffer) const {
    if (m_plan == nullptr) {
        return;
    }
    const std::uint64_t end = buffer.offset + buffer.length;
    for (const ImagePatch& patch : m_plan->patches) {
        const std::uint64_t from = std::max(patch.offset, buffer.offset);
        const std::uint64_t to = std::min(patch.offset + patch.bytes.size(), end);
        if (from < to) {
            std::copy_n(patch.bytes.begin() + static_cast<std::ptrdiff_t>(from - patch.offset),
                        to - from, buffer.bytes.get() + (from - buffer.offset));
        }
    }
}

// What the image holds beyond the drive's bytes, through the same buffers and digest.
void DriveReader::HandOverTail() {
    if (m_plan == nullptr) {
        return;
    }
    for (std::size_t at = 0; at < m_plan->tail.size();) {
        DriveBuffer* buffer = m_ring.NextEmpty();
        if (buffer == nullptr) {
            return;
        }
        buffer->offset = m_total + at;
        buffer->length = std::min(buffer->capacity, m_plan->tail.size() - at);
        std::copy_n(m_plan->tail.begin() + static_cast<std::ptrdiff_t>(at), buffer->length,
                    buffer->bytes.get());
        m_digest.Update(buffer->bytes.get(), buffer->length);
        at += buffer->length;
        m_ring.HandOver(buffer);
    }
}

// Reads one piece after another until `want` bytes are in; a read that returns nothing before
// then means the drive has gone away or shrunk. The bytes read before a failure stay in the
// buffer, so the image keeps every readable sector before a bad one.
Failure DriveReader::Fill(DriveBuffer& buffer, std::uint64_t offset, std::size_t want) {
    buffer.offset = offset;
    buffer.length = 0;
    while (buffer.length < want) {
        if (CancelRequested(m_job)) {
            return {FailureReason::Cancelled, 0, {}};
        }
        std::byte* const at = buffer.bytes.get() + buffer.length;
        const std::uint64_t position = offset + buffer.length;
        std::size_t got = 0;
        if (Failure failed = drive::ReadDrive(m_device, at, want - buffer.length, position, got)) {
            if (DriveIsGone(failed, position)) {
                return {FailureReason::DriveRemoved, failed.error, "the drive stopped answering"};
            }
            std::size_t ready = 0;
            const Failure failure =
                Reread(at, position, std::min(kRereadSize, want - buffer.length), ready);
            buffer.length += ready;
            if (failure) {
                return failure;
            }
            continue;
        }
        if (got == 0) {
            return {FailureReason::DriveEndedEarly, 0, {}};
        }
        drive::KeepReadingAhead(m_device, position, position + got);
        buffer.length += got;
    }
    return {};
}

// The `size` bytes at `offset` again, sector by sector: `ready` holds how many are in. Without a
// rescue it stops at the first bad sector. In a rescue each bad sector is tried again up to the
// retries, then taken as zeros and noted as unreadable, and all `size` bytes are ready unless a
// cancel stops it.
Failure DriveReader::Reread(std::byte* at, std::uint64_t offset, std::size_t size,
                            std::size_t& ready) {
    Failure failure = drive::ReadUntilBadSector(m_device, at, offset, size, m_sectorSize, ready);
    const RescueSettings& rescue = m_job.request.rescue;
    if (!rescue.enabled) {
        return failure;
    }
    while (failure && !CancelRequested(m_job)) {
        const std::size_t piece = std::min(m_sectorSize, size - ready);
        bool read = false;
        for (int attempt = 0; attempt < rescue.retries && !read; ++attempt) {
            std::size_t got = 0;
            read = !drive::ReadUntilBadSector(m_device, at + ready, offset + ready, piece,
                                              m_sectorSize, got);
        }
        if (!read) {
            std::fill_n(at + ready, piece, std::byte{0});
            AddRange(m_job.result.unreadableRanges, {offset + ready, piece});
            m_job.result.unreadableBytes += piece;
        }
        ready += piece;
        std::size_t more = 0;
        failure = drive::ReadUntilBadSector(m_device, at + ready, offset + ready, size - ready,
                                            m_sectorSize, more);
        ready += more;
    }
    return failure ? Failure{FailureReason::Cancelled, 0, {}} : Failure{};
}

}  // namespace imaging
