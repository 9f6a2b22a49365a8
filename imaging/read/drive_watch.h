#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "drive_probe.h"
#include "failure.h"
#include "stage/buffer_ring.h"

namespace imaging {

// Tells a pulled card or a dead reader from a bad sector after a failed read. A drive that is gone
// says so outright, or its length or identity changed, or sectors that read a moment ago no
// longer read from the drive itself; a worn card still reads them. The sectors are asked again
// at the first failure after a good read and then once every so many failures in a row, so a
// large bad area costs few extra reads.
class DriveWatch {
public:
    DriveWatch(drive::DriveHandle device, std::uint64_t length, drive::DriveIdentity expected,
               std::size_t sectorSize);

    // The read of the bytes [offset, offset + size) just succeeded.
    void ReadWell(std::uint64_t offset, std::size_t size);

    // After a failed read: true when the drive is gone rather than the read's sectors bad.
    bool IsGone(const error::Failure& failure);

private:
    bool StillReads(std::uint64_t offset);

    drive::DriveHandle m_device;
    std::uint64_t m_length;
    drive::DriveIdentity m_expected;
    std::size_t m_sectorSize;
    std::unique_ptr<std::byte[], AlignedDelete> m_probe;
    std::optional<std::uint64_t> m_firstGood;  // the first sector read well, and the last
    std::optional<std::uint64_t> m_lastGood;
    unsigned m_failuresInARow = 0;
};

}  // namespace imaging
