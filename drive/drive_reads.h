#pragma once

#include <cstddef>
#include <cstdint>

#include <memory>

#include "drive_probe.h"
#include "failure.h"
#include "io_queue.h"

namespace drive {

// The open drive, read straight from the drive for as long as this lives: nothing goes through
// the platform's cache and nothing is read ahead. Get() is the drive's own handle where the
// platform refuses direct reads (IsDirect() false); reads then go through the cache.
class DirectReads {
public:
    explicit DirectReads(DriveHandle handle);
    ~DirectReads();
    DirectReads(const DirectReads&) = delete;
    DirectReads& operator=(const DirectReads&) = delete;

    DriveHandle Get() const { return m_reads; }
    bool IsDirect() const { return m_direct; }

private:
    DriveHandle m_reads;
    bool m_direct = false;
    DriveHandle m_own = kInvalidDriveHandle;     // a description of its own, closed at the end
    DriveHandle m_shared = kInvalidDriveHandle;  // the drive's, switched to direct reads
    int m_sharedFlags = 0;                       // and switched back to these at the end
};

// A queue of `depth` reads of drives in flight, each through the same calls ReadDrive makes.
std::unique_ptr<io::Queue> OpenDriveReadQueue(std::size_t depth, io::QueueChoice& choice);

// Reads up to `size` bytes at `offset` into `got`; the copy asks for one piece after another,
// so the platform sees a sequential read. `got` 0 without a failure: the drive's end (or it has
// gone away). ReadError on a failed read, `got` then 0.
error::Failure ReadDrive(DriveHandle handle, void* buffer, std::size_t size, std::uint64_t offset,
                         std::size_t& got);

// ReadDrive, but straight from the drive: nothing goes through the platform's cache and nothing
// is read ahead, so a failing area is asked for only what is wanted of it. `buffer` is aligned
// to 4096 bytes, `offset` and `size` to the drive's sectors.
error::Failure ReadDriveDirect(DriveHandle handle, void* buffer, std::size_t size,
                               std::uint64_t offset, std::size_t& got);

// Reads the `size` bytes at `offset` again, one sector of `sectorSize` bytes at a time and
// without read-ahead, so a bad sector takes only itself down and not the readable sectors
// fetched with it. Stops at the first sector that cannot be read: `done` holds the bytes read
// before it, and the ReadError is returned; no failure when all `size` bytes were read.
error::Failure ReadUntilBadSector(DriveHandle handle, void* buffer, std::uint64_t offset,
                                  std::size_t size, std::size_t sectorSize, std::size_t& done);

// True when a read that failed with the platform's `error` says the drive or its medium is no
// longer there, rather than that a sector is bad.
bool MeansDriveGone(int error);

// True when a transfer failed with the platform's `error` because of how it was asked (a length
// or offset off the sectors), which says nothing of the drive.
bool MeansMalformedRequest(int error);

// Drops what the platform keeps of the drive's content in memory, so the next read comes from
// the drive itself.
void ForgetCachedReads(DriveHandle handle);

// Tells the platform the drive is about to be read from start to end, once.
void AdviseSequentialRead(DriveHandle handle);

// Called as the read position moves from `before` to `after`: asks the platform to fetch what
// comes next in long runs of its own, so the drive keeps reading while the image's disk writes.
void KeepReadingAhead(DriveHandle handle, std::uint64_t before, std::uint64_t after);

}  // namespace drive
