#pragma once

#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <vector>

#include "drive.h"

namespace drive {

// The calls through which the backend reaches physical drives. Tests put drives backed by files
// in their place, since neither Wine nor a test machine has a readable removable drive, let
// alone one with a bad sector; everything above these calls stays real.
class DriveIo {
public:
    DriveIo() = default;
    DriveIo(const DriveIo&) = delete;
    DriveIo& operator=(const DriveIo&) = delete;
    virtual ~DriveIo() = default;

    virtual HANDLE Open(const char* path) = 0;
    virtual BOOL QueryGeometry(HANDLE drive, DISK_GEOMETRY& geometry) = 0;
    virtual BOOL QueryLength(HANDLE drive, GET_LENGTH_INFORMATION& length) = 0;
    // IOCTL_STORAGE_QUERY_PROPERTY's standard device descriptor, with its texts, into `answer`.
    virtual BOOL QueryDescriptor(HANDLE drive, void* answer, DWORD size, DWORD& returned) = 0;
    // IOCTL_DISK_IS_WRITABLE: FALSE with ERROR_WRITE_PROTECT when the lock switch is on.
    virtual BOOL IsWritable(HANDLE drive) = 0;
    // The volumes that lie on the drive, with file system, label and first mount point; FALSE
    // where the platform cannot tell.
    virtual BOOL QueryVolumes(HANDLE drive, std::vector<Volume>& volumes) = 0;
    // A synchronous ReadFile at `offset`.
    virtual BOOL Read(HANDLE drive, void* buffer, DWORD size, std::uint64_t offset, DWORD& got) = 0;
    // Opens the drive for writing, straight to the drive (no buffering, write-through).
    virtual HANDLE OpenToWrite(const char* path) = 0;
    // Locks the volume at `device` ("\\?\Volume{...}", no trailing backslash) for this process
    // alone and dismounts it; the lock lasts while the handle is open. INVALID_HANDLE_VALUE, with
    // the platform's error, when the volume is in use.
    virtual HANDLE LockAndDismount(const char* device) = 0;
};

DriveIo& TheDriveIo();

// Replaces the drive calls until it is called again with nullptr (the platform's own).
void SetDriveIo(DriveIo* io);

}  // namespace drive
