#include <cstdio>

#include "drive_io.h"
#include "drive_length.h"
#include "drive_probe.h"

namespace drive {

using error::Failure;
using error::FailureReason;
using error::SystemFailure;

static_assert(sizeof(DISK_GEOMETRY) == sizeof(DriveGeometry));

std::string DrivePath(int index) {
    if (index < 0 || index >= kDriveIndexCount) {
        return {};
    }
    char path[40];
    std::snprintf(path, sizeof path, "%s%d", "\\\\.\\PhysicalDrive", index);
    return path;
}

// Opened for reading only, shared both ways: the geometry and length queries and the reads all
// work on a read handle, and a handle that cannot write can never damage the card.
int OpenDrive(const std::string& path, DriveHandle& handle) {
    handle = path.empty() ? kInvalidDriveHandle : TheDriveIo().Open(path.c_str());
    return handle != kInvalidDriveHandle ? 1 : 0;
}

// The program runs elevated (its manifest asks for it), so there is nothing more to ask for.
Failure OpenDriveAskingAccess(const std::string& path, DriveHandle& handle) {
    return OpenDrive(path, handle) != 0 ? Failure{} : SystemFailure(FailureReason::DriveNotOpened);
}

void CloseDrive(DriveHandle handle) {
    ::CloseHandle(handle);
}

int QueryDriveGeometry(DriveHandle handle, DriveGeometry& geometry) {
    DISK_GEOMETRY platform{};
    if (!TheDriveIo().QueryGeometry(handle, platform)) {
        return 0;
    }
    geometry.Cylinders = platform.Cylinders.QuadPart;
    geometry.MediaType = static_cast<std::uint32_t>(platform.MediaType);
    geometry.TracksPerCylinder = platform.TracksPerCylinder;
    geometry.SectorsPerTrack = platform.SectorsPerTrack;
    geometry.BytesPerSector = platform.BytesPerSector;
    return 1;
}

bool QueryDriveLength(DriveHandle handle, std::uint64_t& length) {
    GET_LENGTH_INFORMATION info{};
    if (!TheDriveIo().QueryLength(handle, info) || info.Length.QuadPart <= 0) {
        return false;
    }
    length = static_cast<std::uint64_t>(info.Length.QuadPart);
    return true;
}

DriveIdentity QueryDriveIdentity(DriveHandle /*handle*/) {
    return {};
}

}  // namespace drive
