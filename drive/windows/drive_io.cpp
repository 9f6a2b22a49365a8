#include "drive_io.h"

#include <string>

namespace drive {
namespace {

// Whether the volume "\\?\Volume{...}\" lies on disk `disk`.
bool OnDisk(const std::string& guidPath, DWORD disk) {
    const std::string device = guidPath.substr(0, guidPath.size() - 1);
    const HANDLE volume = ::CreateFileA(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE) {
        return false;
    }
    VOLUME_DISK_EXTENTS extents{};
    DWORD returned = 0;
    const BOOL located = ::DeviceIoControl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0,
                                           &extents, sizeof extents, &returned, nullptr);
    ::CloseHandle(volume);
    return located && extents.NumberOfDiskExtents >= 1 && extents.Extents[0].DiskNumber == disk;
}

Volume Describe(const std::string& guidPath) {
    Volume volume;
    volume.node = guidPath;
    char label[MAX_PATH + 1] = {};
    char system[MAX_PATH + 1] = {};
    if (::GetVolumeInformationA(guidPath.c_str(), label, sizeof label, nullptr, nullptr, nullptr,
                                system, sizeof system)) {
        volume.label = label;
        volume.fileSystem = system;
    }
    // A list of NUL-ended paths, ended by an empty one; the first is where it is mounted.
    char paths[1024] = {};
    DWORD length = 0;
    if (::GetVolumePathNamesForVolumeNameA(guidPath.c_str(), paths, sizeof paths, &length)) {
        volume.mountPoint = paths;
    }
    return volume;
}

class PlatformDriveIo : public DriveIo {
public:
    HANDLE Open(const char* path) override {
        return ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    }

    HANDLE OpenToWrite(const char* path) override {
        return ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING,
                             FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH, nullptr);
    }

    // A volume that will not lock has files open on it: it is left mounted, and the write refused.
    HANDLE LockAndDismount(const char* device) override {
        const HANDLE volume =
            ::CreateFileA(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, 0, nullptr);
        if (volume == INVALID_HANDLE_VALUE) {
            return volume;
        }
        DWORD returned = 0;
        if (!::DeviceIoControl(volume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned,
                               nullptr) ||
            !::DeviceIoControl(volume, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned,
                               nullptr)) {
            const DWORD error = ::GetLastError();
            ::CloseHandle(volume);
            ::SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        return volume;
    }

    BOOL QueryGeometry(HANDLE drive, DISK_GEOMETRY& geometry) override {
        DWORD returned = 0;
        return ::DeviceIoControl(drive, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry,
                                 sizeof geometry, &returned, nullptr);
    }

    BOOL QueryLength(HANDLE drive, GET_LENGTH_INFORMATION& length) override {
        DWORD returned = 0;
        return ::DeviceIoControl(drive, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length,
                                 sizeof length, &returned, nullptr);
    }

    BOOL QueryDescriptor(HANDLE drive, void* answer, DWORD size, DWORD& returned) override {
        STORAGE_PROPERTY_QUERY query{};
        query.PropertyId = StorageDeviceProperty;
        query.QueryType = PropertyStandardQuery;
        return ::DeviceIoControl(drive, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, answer,
                                 size, &returned, nullptr);
    }

    BOOL IsWritable(HANDLE drive) override {
        DWORD returned = 0;
        return ::DeviceIoControl(drive, IOCTL_DISK_IS_WRITABLE, nullptr, 0, nullptr, 0, &returned,
                                 nullptr);
    }

    // Each volume of the machine is asked on which disk it lies; one that spans several disks
    // (ERROR_MORE_DATA) is no card's.
    BOOL QueryVolumes(HANDLE drive, std::vector<Volume>& volumes) override {
        STORAGE_DEVICE_NUMBER number{};
        DWORD returned = 0;
        if (!::DeviceIoControl(drive, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                               sizeof number, &returned, nullptr)) {
            return FALSE;
        }
        char name[MAX_PATH] = {};
        const HANDLE search = ::FindFirstVolumeA(name, sizeof name);
        if (search == INVALID_HANDLE_VALUE) {
            return FALSE;
        }
        do {
            if (OnDisk(name, number.DeviceNumber)) {
                volumes.push_back(Describe(name));
            }
        } while (::FindNextVolumeA(search, name, sizeof name));
        ::FindVolumeClose(search);
        return TRUE;
    }

    BOOL Read(HANDLE drive, void* buffer, DWORD size, std::uint64_t offset, DWORD& got) override {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        return ::ReadFile(drive, buffer, size, &got, &at);
    }
};

PlatformDriveIo thePlatformDriveIo;
DriveIo* theDriveIo = &thePlatformDriveIo;

}  // namespace

DriveIo& TheDriveIo() {
    return *theDriveIo;
}

void SetDriveIo(DriveIo* io) {
    theDriveIo = io != nullptr ? io : &thePlatformDriveIo;
}

}  // namespace drive
