#include <windows.h>

#include "drive_io.h"
#include "drive_writes.h"

namespace drive {

using error::Failure;
using error::FailureReason;
using error::SystemFailure;

// The disk Windows runs from: the volume of its own folder.
std::string UsedBySystem(const Drive& drive) {
    char windows[MAX_PATH + 1] = {};
    const UINT length = ::GetWindowsDirectoryA(windows, sizeof windows);
    if (length < 3) {
        return {};
    }
    const std::string systemRoot(windows, 3);  // "C:\"
    for (const Volume& volume : drive.volumes) {
        if (_stricmp(volume.mountPoint.c_str(), systemRoot.c_str()) == 0) {
            return "it holds the running system (" + systemRoot + ")";
        }
    }
    return {};
}

bool IsWriteProtected(DriveHandle handle) {
    return !TheDriveIo().IsWritable(handle) && ::GetLastError() == ERROR_WRITE_PROTECT;
}

HeldVolumes::~HeldVolumes() {
    for (const DriveHandle volume : m_volumes) {
        ::CloseHandle(volume);
    }
}

// Every volume of the disk, mounted at a letter or not: Windows mounts what it recognises on
// its own, and a volume left mounted could be written behind the restore's back.
Failure UnmountVolumes(const Drive& drive, HeldVolumes& held) {
    for (const Volume& volume : drive.volumes) {
        const std::string device = volume.node.substr(0, volume.node.find_last_not_of('\\') + 1);
        const HANDLE locked = TheDriveIo().LockAndDismount(device.c_str());
        if (locked == INVALID_HANDLE_VALUE) {
            Failure failure = SystemFailure(FailureReason::VolumeBusy);
            failure.message = (volume.mountPoint.empty() ? volume.node : volume.mountPoint) +
                              ": it is in use (a program has files open on it)";
            return failure;
        }
        held.Hold(locked);
    }
    return {};
}

Failure OpenDriveToWrite(const std::string& path, DriveHandle& handle) {
    handle = TheDriveIo().OpenToWrite(path.c_str());
    return handle != INVALID_HANDLE_VALUE ? Failure{}
                                          : SystemFailure(FailureReason::DriveNotOpened);
}

Failure FlushDrive(DriveHandle handle) {
    return ::FlushFileBuffers(handle) ? Failure{} : SystemFailure(FailureReason::FlushFailed);
}

std::string WriteRefusalCause(int error) {
    if (error != ERROR_ACCESS_DENIED) {
        return {};
    }
    return "Windows refused the write: Controlled Folder Access may be blocking kalvor (allow "
           "it in Windows Security), or a volume of the card is still in use";
}

}  // namespace drive
