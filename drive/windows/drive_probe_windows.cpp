#include <algorithm>
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

Failure ReadDrive(DriveHandle handle, void* buffer, std::size_t size, std::uint64_t offset,
                  std::size_t& got) {
    DWORD read = 0;
    const bool succeeded =
        TheDriveIo().Read(handle, buffer, static_cast<DWORD>(size), offset, read);
    got = succeeded ? read : 0;
    return succeeded ? Failure{} : SystemFailure(FailureReason::ReadError);
}

// Raw drive handles are not cached by the platform.
Failure ReadDriveDirect(DriveHandle handle, void* buffer, std::size_t size, std::uint64_t offset,
                        std::size_t& got) {
    return ReadDrive(handle, buffer, size, offset, got);
}

// Raw drive handles are not cached by the platform, so each read asks for exactly one sector.
Failure ReadUntilBadSector(DriveHandle handle, void* buffer, std::uint64_t offset, std::size_t size,
                           std::size_t sectorSize, std::size_t& done) {
    auto* bytes = static_cast<char*>(buffer);
    done = 0;
    while (done < size) {
        const auto piece = static_cast<DWORD>(std::min(sectorSize, size - done));
        DWORD got = 0;
        if (!TheDriveIo().Read(handle, bytes + done, piece, offset + done, got)) {
            return SystemFailure(FailureReason::ReadError);
        }
        if (got != piece) {
            return {FailureReason::ReadError, ERROR_HANDLE_EOF, {}};
        }
        done += piece;
    }
    return {};
}

bool MeansDriveGone(int error) {
    return error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_NOT_READY ||
           error == ERROR_NO_MEDIA_IN_DRIVE || error == ERROR_DEV_NOT_EXIST;
}

int LastSystemError() {
    return static_cast<int>(::GetLastError());
}

// Reads of a physical drive bypass the file cache.
void ForgetCachedReads(DriveHandle /*handle*/) {}

void AdviseSequentialRead(DriveHandle /*handle*/) {}

void KeepReadingAhead(DriveHandle /*handle*/, std::uint64_t /*before*/, std::uint64_t /*after*/) {}

}  // namespace drive
