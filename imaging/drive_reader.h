#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "buffer_ring.h"
#include "copy_job.h"
#include "partition_layout.h"
#include "sha256.h"

namespace imaging {

// The drive's side of a run, on a thread of its own: reads the drive from its first byte to
// `total` into the ring's buffers, in order, and hashes each buffer once it is final, so the
// digest costs no second read of anything. A failed read is read again sector by sector, so a
// bad sector takes only itself down; in a rescue, what still fails is retried, then zeroed and
// noted in the job's result. With a plan for the partitions only, it reads the drive up to the
// plan's end, lays the plan's patches over what it read and adds the plan's tail, so the digest
// covers the bytes as imaged.
class DriveReader {
public:
    DriveReader(CopyJob& job, drive::DriveHandle device, std::uint64_t total,
                std::size_t sectorSize, BufferRing& ring, const PartitionsPlan* plan);

    // The thread's body: returns once the drive is read, has failed, the run is cancelled or the
    // writer has stopped; it then has finished the ring.
    void Run();

    // After Run: the SHA-256 of every byte handed over.
    drive::Failure FinishDigest(std::string& hex) { return m_digest.Finish(hex); }

private:
    drive::Failure Fill(DriveBuffer& buffer, std::uint64_t offset, std::size_t want);
    drive::Failure Reread(std::byte* at, std::uint64_t offset, std::size_t size,
                          std::size_t& ready);
    void Patch(DriveBuffer& buffer) const;
    bool DriveIsGone(const drive::Failure& failure, std::uint64_t position);
    void HandOverTail();

    CopyJob& m_job;
    drive::DriveHandle m_device;
    std::uint64_t m_driveLength;
    std::uint64_t m_total;
    std::size_t m_sectorSize;
    BufferRing& m_ring;
    const PartitionsPlan* m_plan;
    Sha256 m_digest;
    // Where the first sector is read again to tell a pulled card from a bad sector.
    std::unique_ptr<std::byte[], AlignedDelete> m_probe;
};

}  // namespace imaging
