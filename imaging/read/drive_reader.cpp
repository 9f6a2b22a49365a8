#include "read/drive_reader.h"

#include "drive_reads.h"

#include <algorithm>
#include <cstdint>
#include <memory>

namespace imaging {

using error::Failure;
using error::FailureReason;

namespace {

// 4 MiB reads, 8 in flight, straight from the drive: see kRunBufferSize in stage/buffer_ring.h for
// the figures. A card reads at its full rate with a few requests queued; a fast disk needs the
// depth.
constexpr std::size_t kReadDepth = 8;

// After a failed read, this much is read again sector by sector before the normal reads go on:
// a read fails for the whole read-ahead window it fetched, so the bad sector may lie anywhere in
// the next 64 KiB, and reading sector by sector costs a round trip to the card per sector.
constexpr std::size_t kRereadSize = 64 * 1024;

}  // namespace

DriveReader::DriveReader(const StageLink& run, drive::DriveHandle device,
                         drive::DriveIdentity expected, std::uint64_t total, std::size_t sectorSize,
                         BufferRing& ring, const PartitionsPlan* plan,
                         const std::vector<HashKind>& extraHashes)
    : m_run(run),
      m_device(device),
      m_total(plan != nullptr ? plan->driveBytes : total),
      m_sectorSize(sectorSize),
      m_ring(ring),
      m_plan(plan),
      m_ranges(m_total == 0 ? ByteRanges{} : ByteRanges{{0, m_total}}),
      m_watch(device, total, expected, sectorSize) {
    m_digests.emplace_back(HashKind::Sha256);
    for (const HashKind kind : extraHashes) {
        m_digests.emplace_back(kind);
    }
}

void DriveReader::ReadOnly(const ByteRanges& ranges) {
    m_ranges = Joined(ranges, 0, m_sectorSize, m_total);
}

Failure DriveReader::FinishExtraDigests(std::vector<NamedDigest>& digests) {
    digests.clear();
    for (std::size_t extra = 1; extra < m_digests.size(); ++extra) {
        NamedDigest digest{m_digests[extra].Kind(), {}};
        if (Failure failure = m_digests[extra].Finish(digest.hex)) {
            return failure;
        }
        digests.push_back(digest);
    }
    return {};
}

void DriveReader::Hash(const DriveBuffer& buffer) {
    const TimedWait hashing(m_run.Times(), Wait::Hash);
    for (Digest& digest : m_digests) {
        digest.Update(buffer.bytes.get(), buffer.length);
    }
}

void DriveReader::Run() {
    const drive::DirectReads direct(m_device);
    const std::unique_ptr<io::Queue> queue = drive::OpenDriveReadQueue(kReadDepth, m_queue);
    Failure failure = ReadInOrder(*queue, direct.Get());
    // Every buffer in flight is the ring's: nothing returns before the drive is done with them.
    for (const InFlight& read : m_inFlight) {
        if (!read.ended) {
            queue->Wait();
        }
    }
    m_inFlight.clear();
    m_ring.Finish(std::move(failure));
}

// Keeps the queue full and takes each read as it ends, oldest first: a buffer is finished,
// hashed and handed over in the drive's order whatever order its reads ended in.
Failure DriveReader::ReadInOrder(io::Queue& queue, drive::DriveHandle reads) {
    std::size_t range = 0;
    std::uint64_t next = m_ranges.empty() ? 0 : m_ranges.front().offset;
    for (;;) {
        if (m_run.Cancelled()) {
            return {FailureReason::Cancelled, 0, {}};
        }
        while (m_inFlight.size() < queue.Depth() && range < m_ranges.size()) {
            DriveBuffer* buffer = m_ring.NextEmpty(m_inFlight.empty() ? BufferRing::Waiting::Yes
                                                                      : BufferRing::Waiting::No);
            if (buffer == nullptr) {
                break;
            }
            const std::size_t want =
                std::min<std::uint64_t>(buffer->capacity, m_ranges[range].End() - next);
            buffer->offset = next;
            buffer->length = 0;
            m_inFlight.push_back({buffer, want, false, {}, std::chrono::steady_clock::now()});
            const io::Request request{io::Direction::Read,
                                      reads,
                                      buffer->bytes.get(),
                                      want,
                                      next,
                                      reinterpret_cast<std::uintptr_t>(buffer)};
            if (Failure refused = queue.Submit(request)) {
                // Not started: the buffer is read the slow way when its turn comes.
                m_inFlight.back().ended = true;
                m_inFlight.back().completion = {request.tag, 0, refused.error};
            }
            next += want;
            if (next == m_ranges[range].End() && ++range < m_ranges.size()) {
                next = m_ranges[range].offset;
            }
        }
        if (m_inFlight.empty()) {
            break;
        }
        while (!m_inFlight.front().ended) {
            const io::Completion completion = queue.Wait();
            for (InFlight& read : m_inFlight) {
                if (reinterpret_cast<std::uintptr_t>(read.buffer) == completion.tag) {
                    read.ended = true;
                    read.completion = completion;
                    if (StageTimes* times = m_run.Times()) {
                        times->Add(Wait::ReadInFlight,
                                   std::chrono::steady_clock::now() - read.submitted);
                    }
                }
            }
        }
        InFlight read = m_inFlight.front();
        m_inFlight.pop_front();
        if (Failure failure = Finish(read)) {
            return failure;
        }
    }
    HandOverTail();
    return {};
}

// A read that ended whole is final; one that did not goes on the careful way from where it
// stopped. The bytes read before a failure are handed over all the same, so the image keeps
// every readable sector before a bad one.
Failure DriveReader::Finish(InFlight& read) {
    DriveBuffer& buffer = *read.buffer;
    buffer.length = read.completion.done;
    Failure failure;
    if (buffer.length == read.want) {
        m_watch.ReadWell(buffer.offset, buffer.length);
    } else {
        failure = Fill(buffer, read.want);
    }
    Patch(buffer);
    Hash(buffer);
    m_ring.HandOver(&buffer);
    return failure;
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
        DriveBuffer* buffer = m_ring.NextEmpty(BufferRing::Waiting::Yes);
        if (buffer == nullptr) {
            return;
        }
        buffer->offset = m_total + at;
        buffer->length = std::min(buffer->capacity, m_plan->tail.size() - at);
        std::copy_n(m_plan->tail.begin() + static_cast<std::ptrdiff_t>(at), buffer->length,
                    buffer->bytes.get());
        Hash(*buffer);
        at += buffer->length;
        m_ring.HandOver(buffer);
    }
}

// Reads one piece after another, through the cache, until `want` bytes are in; a read that
// returns nothing before then means the drive has gone away or shrunk. The bytes read before a
// failure stay in the buffer.
Failure DriveReader::Fill(DriveBuffer& buffer, std::size_t want) {
    const std::uint64_t offset = buffer.offset;
    while (buffer.length < want) {
        if (m_run.Cancelled()) {
            return {FailureReason::Cancelled, 0, {}};
        }
        std::byte* const at = buffer.bytes.get() + buffer.length;
        const std::uint64_t position = offset + buffer.length;
        std::size_t got = 0;
        if (Failure failed = drive::ReadDrive(m_device, at, want - buffer.length, position, got)) {
            if (m_watch.IsGone(failed)) {
                return {FailureReason::DriveRemoved, failed.error, "the drive stopped answering"};
            }
            std::size_t ready = 0;
            Failure failure = drive::ReadUntilBadSector(m_device, at, position,
                                                        std::min(kRereadSize, want - buffer.length),
                                                        m_sectorSize, ready);
            buffer.length += ready;
            if (failure) {
                failure.at = position + ready;
                return failure;
            }
            continue;
        }
        if (got == 0) {
            return {FailureReason::DriveEndedEarly, 0, {}};
        }
        drive::KeepReadingAhead(m_device, position, position + got);
        m_watch.ReadWell(position, got);
        buffer.length += got;
    }
    return {};
}

}  // namespace imaging
