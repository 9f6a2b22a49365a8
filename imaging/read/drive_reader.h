#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "io_queue.h"
#include "layout/partition_layout.h"
#include "read/byte_ranges.h"
#include "read/digest.h"
#include "read/drive_watch.h"
#include "stage/buffer_ring.h"
#include "stage/stage_link.h"

namespace imaging {

// The drive's side of a run, on a thread of its own: reads the drive from its first byte to
// `total` into the ring's buffers, several reads in flight and straight from the drive where
// the platform allows, hands them over in order and hashes each buffer once it is final, so the
// digest costs no second read of anything. A failed read is read again sector by sector, so the
// image keeps every readable sector before a bad one, and a drive that has gone away ends the
// run as such. With a plan for the partitions only, it reads the drive up to the
// plan's end, lays the plan's patches over what it read and adds the plan's tail, so the digest
// covers the bytes as imaged.
class DriveReader {
public:
    // Besides the SHA-256, the drive's bytes are hashed with each of `extraHashes`. A drive that
    // stops answering is told from a bad sector by whether it is still `expected`.
    DriveReader(const StageLink& run, drive::DriveHandle device, drive::DriveIdentity expected,
                std::uint64_t total, std::size_t sectorSize, BufferRing& ring,
                const PartitionsPlan* plan, const std::vector<HashKind>& extraHashes = {});

    // Reads only the drive's bytes in `ranges`, widened to whole sectors, rather than all of it.
    void ReadOnly(const ByteRanges& ranges);

    // The thread's body: returns once the drive is read, has failed, the run is cancelled or the
    // writer has stopped; it then has finished the ring.
    void Run();

    // After Run: the SHA-256 of every byte handed over.
    error::Failure FinishDigest(std::string& hex) { return m_digests.front().Finish(hex); }

    // After Run: the extra hashes of every byte handed over.
    error::Failure FinishExtraDigests(std::vector<NamedDigest>& digests);

    // After Run: how the reads were queued.
    const io::QueueChoice& Queue() const { return m_queue; }

private:
    // A read in flight: the buffer it fills, how much it asked for, and once ended, its end.
    struct InFlight {
        DriveBuffer* buffer = nullptr;
        std::size_t want = 0;
        bool ended = false;
        io::Completion completion;
        std::chrono::steady_clock::time_point submitted;
    };

    error::Failure ReadInOrder(io::Queue& queue, drive::DriveHandle reads);
    error::Failure Finish(InFlight& read);
    error::Failure Fill(DriveBuffer& buffer, std::size_t want);
    void Patch(DriveBuffer& buffer) const;
    void HandOverTail();
    void Hash(const DriveBuffer& buffer);

    const StageLink& m_run;
    drive::DriveHandle m_device;
    std::uint64_t m_total;
    std::size_t m_sectorSize;
    BufferRing& m_ring;
    const PartitionsPlan* m_plan;
    ByteRanges m_ranges;            // what is read, in order
    std::vector<Digest> m_digests;  // the SHA-256 first, then the extra hashes
    io::QueueChoice m_queue;
    std::deque<InFlight> m_inFlight;  // oldest first

    DriveWatch m_watch;
};

}  // namespace imaging
