#include "drive_file_systems.h"

#include <sys/stat.h>

#include "disk_usage.h"
#include "sysfs.h"

namespace drive {

std::set<std::uint64_t> FileSystemsOn(DriveHandle drive) {
    struct stat status {};
    if (::fstat(drive, &status) != 0) {
        return {};
    }
    const auto diskDir = DiskDirOfDevice(status.st_rdev);
    std::set<std::uint64_t> systems;
    for (const dev_t device :
         FilesystemDevicesOn(diskDir ? DiskDeviceSet(*diskDir) : std::set<dev_t>{status.st_rdev})) {
        systems.insert(static_cast<std::uint64_t>(device));
    }
    return systems;
}

}  // namespace drive
