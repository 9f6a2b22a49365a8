#include "drive_io.h"

namespace drive {
namespace {

class PlatformDriveIo : public DriveIo {
public:
    HANDLE Open(const char* path) override {
        return ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
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
