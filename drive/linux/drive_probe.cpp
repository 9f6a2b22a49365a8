#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <string>
#include <vector>

#include "disk_usage.h"
#include "drive_length.h"
#include "drive_probe.h"
#include "removable_rule.h"
#include "sysfs.h"
#include "udisks_open.h"

namespace drive {

using error::Failure;
using error::FailureReason;
using error::SystemFailure;

namespace {

// The geometry Windows reports for modern disks, built from the length.
constexpr std::uint32_t kTracksPerCylinder = 255;
constexpr std::uint32_t kSectorsPerTrack = 63;

// True when a volume of the disk, or of one of its partitions, is mounted; `status` is the disk
// node's (stat needs no right to the device).
bool HasMountedVolume(const struct stat& status) {
    const auto diskDir = DiskDirOfDevice(status.st_rdev);
    const std::set<dev_t> devices =
        diskDir ? DiskDeviceSet(*diskDir) : std::set<dev_t>{status.st_rdev};
    const std::vector<MountEntry> mounts = CurrentMounts();
    return std::any_of(mounts.begin(), mounts.end(), [&](const MountEntry& mount) {
        return devices.count(BlockDeviceOf(mount)) != 0;
    });
}

}  // namespace

// A read-write open would make udev re-read the partition table of every probed disk when it
// closes; reading is all the program ever does with a drive.
int OpenDrive(const std::string& path, DriveHandle& handle) {
    handle = path.empty() ? kInvalidDriveHandle : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return handle != kInvalidDriveHandle ? 1 : 0;
}

// A mounted volume holds its disk exclusively too, so O_EXCL fails on a card in use only by it.
Failure OpenDriveAskingAccess(const std::string& path, DriveHandle& handle) {
    handle = ::open(path.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    if (handle >= 0) {
        return {};
    }
    if (errno == EBUSY) {
        if (OpenDrive(path, handle) == 0) {
            return SystemFailure(FailureReason::DriveNotOpened);
        }
        struct stat status {};
        if (::fstat(handle, &status) == 0 && HasMountedVolume(status)) {
            return {};
        }
        CloseDrive(handle);
        handle = kInvalidDriveHandle;
        return {FailureReason::HeldByAnotherProgram, EBUSY,
                path + " is held by another program, which may be writing it"};
    }
    if (errno != EACCES && errno != EPERM) {
        return SystemFailure(FailureReason::DriveNotOpened);
    }
    struct stat status {};
    const bool mounted = ::stat(path.c_str(), &status) == 0 && HasMountedVolume(status);
    return OpenThroughUdisks(path, handle, {"r", mounted ? 0 : O_EXCL});
}

void CloseDrive(DriveHandle handle) {
    ::close(handle);
}

bool QueryDriveLength(DriveHandle handle, std::uint64_t& length) {
    return ::ioctl(handle, BLKGETSIZE64, &length) == 0;
}

int QueryDriveGeometry(DriveHandle handle, DriveGeometry& geometry) {
    std::uint64_t length = 0;
    int sectorSize = 0;
    if (!QueryDriveLength(handle, length) || ::ioctl(handle, BLKSSZGET, &sectorSize) != 0 ||
        sectorSize <= 0) {
        return 0;
    }
    const std::uint64_t sectors = length / static_cast<std::uint64_t>(sectorSize);
    const std::uint64_t cylinders =
        sectors / (std::uint64_t{kTracksPerCylinder} * kSectorsPerTrack);
    geometry.BytesPerSector = static_cast<std::uint32_t>(sectorSize);
    if (cylinders != 0) {
        geometry.Cylinders = static_cast<std::int64_t>(cylinders);
        geometry.TracksPerCylinder = kTracksPerCylinder;
        geometry.SectorsPerTrack = kSectorsPerTrack;
    } else {
        geometry.Cylinders = 1;
        geometry.TracksPerCylinder = 1;
        geometry.SectorsPerTrack = static_cast<std::uint32_t>(sectors);
    }
    geometry.MediaType = IsRemovableMedia(handle) ? kRemovableMedia : kFixedMedia;
    return 1;
}

DriveIdentity QueryDriveIdentity(DriveHandle handle) {
    struct stat status {};
    if (::fstat(handle, &status) != 0 || !S_ISBLK(status.st_mode)) {
        return {};
    }
    // diskseq grows each time a medium is attached, even under a reused device number.
    std::uint64_t sequence = 0;
    if (::ioctl(handle, BLKGETDISKSEQ, &sequence) != 0) {
        sequence = 0;
    }
    return {static_cast<std::uint64_t>(status.st_rdev), sequence};
}

}  // namespace drive
