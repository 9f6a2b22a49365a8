#include <cstdio>

#include "drive_io.h"
#include "drive_length.h"
#include "drive_probe.h"

namespace drive {

static_assert(sizeof(DISK_GEOMETRY) == sizeof(DriveGeometry));

std::string DrivePath(int index) {
    if (index < 0 || index >= kDriveIndexCount) {
        return {};
    }
    char path[40];
    std::snprintf(path, sizeof path, "%s%d", "\\\\.\\PhysicalDrive", index);
    return path;
}

// Opened for reading and writing, shared both ways, as the platform's raw disk access asks;
// nothing but queries and reads is ever sent through the handle.
int OpenDrive(const std::string& path, DriveHandle& handle) {
    handle = path.empty() ? kInvalidDriveHandle : TheDriveIo().Open(path.c_str());
    return handle != kInvalidDriveHandle ? 1 : 0;
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

std::int64_t ReadDrive(DriveHandle handle, void* buffer, std::size_t size) {
    DWORD got = 0;
    if (!::ReadFile(handle, buffer, static_cast<DWORD>(size), &got, nullptr)) {
        return -1;
    }
    return got;
}

void AdviseSequentialRead(DriveHandle /*handle*/) {}

void KeepReadingAhead(DriveHandle /*handle*/, std::uint64_t /*before*/, std::uint64_t /*after*/) {}

}  // namespace drive
