#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "failure.h"
#include "native_handle.h"

namespace drive {

inline constexpr std::uint32_t kRemovableMedia = 11;
inline constexpr std::uint32_t kFixedMedia = 12;

// What a drive geometry query answers, in the 24-byte layout the platform's own query uses.
struct DriveGeometry {
    std::int64_t Cylinders = 0;
    std::uint32_t MediaType = 0;  // kRemovableMedia or kFixedMedia
    std::uint32_t TracksPerCylinder = 0;
    std::uint32_t SectorsPerTrack = 0;
    std::uint32_t BytesPerSector = 0;
};
static_assert(sizeof(DriveGeometry) == 24);

// What tells a disk apart from another that later takes its index: its device number and the
// sequence number the platform gives each medium it attaches. All zero when unknown.
struct DriveIdentity {
    std::uint64_t device = 0;
    std::uint64_t sequence = 0;
    bool operator==(const DriveIdentity&) const = default;
};

// Drives are named by an index; only indexes below this count are ever probed.
inline constexpr int kDriveIndexCount = 20;

// The path that names drive `index`; empty when no drive has that index.
std::string DrivePath(int index);

// Opens the drive at `path` for reading only: the program never writes a drive.
// Stores the handle (kInvalidDriveHandle on failure) and returns 1 on success, 0 on failure.
int OpenDrive(const std::string& path, DriveHandle& handle);

// OpenDrive, and where the user has no right to read drives, asks the platform for read access
// to this one, which may show the user a password prompt and wait for it. Only the copy worker
// calls this: the drive list never asks for access. DriveNotOpened with the platform's or the
// access service's own account of the refusal.
Failure OpenDriveAskingAccess(const std::string& path, DriveHandle& handle);

// Closes a handle that OpenDrive opened.
void CloseDrive(DriveHandle handle);

// Fills `geometry` for the open drive; 1 on success, 0 when the query fails.
int QueryDriveGeometry(DriveHandle handle, DriveGeometry& geometry);

// 1 when the drive holds removable media that may be imaged, else 0 (also when the query fails).
int IsRemovableDrive(DriveHandle handle);

// The drive's length in bytes: the true length where the platform reports it, else the product
// of the geometry's four size values; 0 when neither query succeeds.
std::uint64_t DriveCapacity(DriveHandle handle);

// Cylinders x tracks per cylinder x sectors per track x bytes per sector, in 64 bits.
std::uint64_t GeometryCapacity(const DriveGeometry& geometry);

// The identity of the open drive; all zero when the platform cannot tell.
DriveIdentity QueryDriveIdentity(DriveHandle handle);

// Reads up to `size` bytes at `offset` into `got`; the copy asks for one piece after another,
// so the platform sees a sequential read. `got` 0 without a failure: the drive's end (or it has
// gone away). ReadError on a failed read, `got` then 0.
Failure ReadDrive(DriveHandle handle, void* buffer, std::size_t size, std::uint64_t offset,
                  std::size_t& got);

// ReadDrive, but straight from the drive: nothing goes through the platform's cache and nothing
// is read ahead, so a failing area is asked for only what is wanted of it. `buffer` is aligned
// to 4096 bytes, `offset` and `size` to the drive's sectors.
Failure ReadDriveDirect(DriveHandle handle, void* buffer, std::size_t size, std::uint64_t offset,
                        std::size_t& got);

// Reads the `size` bytes at `offset` again, one sector of `sectorSize` bytes at a time and
// without read-ahead, so a bad sector takes only itself down and not the readable sectors
// fetched with it. Stops at the first sector that cannot be read: `done` holds the bytes read
// before it, and the ReadError is returned; no failure when all `size` bytes were read.
Failure ReadUntilBadSector(DriveHandle handle, void* buffer, std::uint64_t offset, std::size_t size,
                           std::size_t sectorSize, std::size_t& done);

// True when a read that failed with the platform's `error` says the drive or its medium is no
// longer there, rather than that a sector is bad.
bool MeansDriveGone(int error);

// The platform's code for the last failed call on this thread (errno, GetLastError).
int LastSystemError();

// Drops what the platform keeps of the drive's content in memory, so the next read comes from
// the drive itself.
void ForgetCachedReads(DriveHandle handle);

// Tells the platform the drive is about to be read from start to end, once.
void AdviseSequentialRead(DriveHandle handle);

// Called as the read position moves from `before` to `after`: asks the platform to fetch what
// comes next in long runs of its own, so the drive keeps reading while the image's disk writes.
void KeepReadingAhead(DriveHandle handle, std::uint64_t before, std::uint64_t after);

}  // namespace drive
