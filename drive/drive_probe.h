#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "drive_handle.h"
#include "failure.h"

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
// access service's own account of the refusal. Where the platform allows, the drive is held
// exclusively for as long as the handle lives, unless a volume of it is mounted, so no other
// program that asks for it (a restore) writes it meanwhile: HeldByAnotherProgram where one
// holds it already.
error::Failure OpenDriveAskingAccess(const std::string& path, DriveHandle& handle);

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

// The open drive's logical sector size in bytes; 512 when the platform cannot tell.
std::size_t DriveSectorSize(DriveHandle handle);

// The identity of the open drive; all zero when the platform cannot tell.
DriveIdentity QueryDriveIdentity(DriveHandle handle);

}  // namespace drive
