#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "disk_usage.h"
#include "drive_roots.h"
#include "drive_writes.h"
#include "udisks_open.h"

namespace drive {

using error::Failure;
using error::FailureReason;
using error::SystemFailure;

// The same rules the list follows to leave a disk out, asked again at the moment of writing.
std::string UsedBySystem(const Drive& drive) {
    const std::filesystem::path diskDir =
        SysRoot() / "block" / std::filesystem::path(drive.node).filename();
    if (HoldsRunningSystem(DiskDeviceSet(diskDir))) {
        return "it holds the running system or active swap";
    }
    if (HasHolders(diskDir)) {
        return "a RAID, LVM or encrypted volume is built on it";
    }
    return {};
}

bool IsWriteProtected(DriveHandle handle) {
    int readOnly = 0;
    return ::ioctl(handle, BLKROGET, &readOnly) == 0 && readOnly != 0;
}

HeldVolumes::~HeldVolumes() = default;

Failure UnmountVolumes(const Drive& drive, HeldVolumes& /*held*/) {
    for (const Volume& volume : drive.volumes) {
        if (volume.mountPoint.empty()) {
            continue;
        }
        if (::geteuid() != 0) {
            if (Failure failure = UnmountThroughUdisks(volume.node)) {
                return {FailureReason::VolumeBusy, failure.error,
                        volume.node + " at " + volume.mountPoint + ": " + failure.message};
            }
            continue;
        }
        if (::umount2(volume.mountPoint.c_str(), UMOUNT_NOFOLLOW) != 0 && errno != EINVAL) {
            const int error = errno;
            return {FailureReason::VolumeBusy, error,
                    volume.node + " at " + volume.mountPoint + ": " + std::strerror(error) +
                        (error == EBUSY ? " (a program has files open on it)" : "")};
        }
    }
    return {};
}

// O_EXCL on a block device fails while any volume of it is mounted or another program holds it
// exclusively: the last guard against writing a disk that is in use.
Failure OpenDriveToWrite(const std::string& path, DriveHandle& handle) {
    handle = ::open(path.c_str(), O_RDWR | O_EXCL | O_DIRECT | O_CLOEXEC);
    if (handle >= 0) {
        return {};
    }
    if (errno == EBUSY) {
        return {FailureReason::VolumeBusy, EBUSY, path + " is in use by another program"};
    }
    if (errno != EACCES && errno != EPERM) {
        return SystemFailure(FailureReason::DriveNotOpened);
    }
    return OpenThroughUdisks(path, handle, {"rw", O_EXCL | O_DIRECT});
}

Failure FlushDrive(DriveHandle handle) {
    return ::fsync(handle) == 0 ? Failure{} : SystemFailure(FailureReason::FlushFailed);
}

std::string WriteRefusalCause(int /*error*/) {
    return {};
}

}  // namespace drive
