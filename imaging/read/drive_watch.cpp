#include "read/drive_watch.h"

#include "drive_reads.h"

namespace imaging {

namespace {

// A large bad area fails read after read; the drive is asked again after this many of them.
constexpr unsigned kFailuresBetweenProbes = 64;

}  // namespace

DriveWatch::DriveWatch(drive::DriveHandle device, std::uint64_t length,
                       drive::DriveIdentity expected, std::size_t sectorSize)
    : m_device(device),
      m_length(length),
      m_expected(expected),
      m_sectorSize(sectorSize),
      m_probe(static_cast<std::byte*>(::operator new[](sectorSize, kBufferAlignment))) {
    // So that a drive that dies before the first read is done can be told from a bad start.
    if (StillReads(0)) {
        m_firstGood = 0;
        m_lastGood = 0;
    }
}

void DriveWatch::ReadWell(std::uint64_t offset, std::size_t size) {
    if (size < m_sectorSize) {
        return;
    }
    const std::uint64_t last = (offset + size - m_sectorSize) / m_sectorSize * m_sectorSize;
    if (!m_firstGood) {
        m_firstGood = last;
    }
    m_lastGood = last;
    m_failuresInARow = 0;
}

bool DriveWatch::StillReads(std::uint64_t offset) {
    std::size_t got = 0;
    return !drive::ReadUntilBadSector(m_device, m_probe.get(), offset, m_sectorSize, m_sectorSize,
                                      got);
}

bool DriveWatch::IsGone(const error::Failure& failure) {
    if (drive::MeansDriveGone(failure.error)) {
        return true;
    }
    if (drive::MeansMalformedRequest(failure.error)) {
        return false;
    }
    if (m_failuresInARow++ % kFailuresBetweenProbes != 0) {
        return false;
    }
    if (drive::DriveCapacity(m_device) != m_length ||
        (m_expected != drive::DriveIdentity{} &&
         drive::QueryDriveIdentity(m_device) != m_expected)) {
        return true;
    }
    // Nothing ever read well: nothing to tell a dead drive from a bad one by.
    return m_lastGood && !StillReads(*m_lastGood) && !StillReads(*m_firstGood);
}

}  // namespace imaging
