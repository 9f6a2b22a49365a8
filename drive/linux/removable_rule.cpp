#include "removable_rule.h"

#include <sys/stat.h>

#include <array>
#include <string_view>
#include <system_error>

#include "disk_usage.h"
#include "drive_roots.h"
#include "sysfs.h"

namespace drive {

namespace fs = std::filesystem;

std::string RemovableTransport(const fs::path& diskDir) {
    static constexpr std::array<std::string_view, 3> kRemovableBuses = {"usb", "mmc", "memstick"};
    std::error_code error;
    const fs::path devicesRoot = fs::weakly_canonical(SysRoot() / "devices", error);
    for (fs::path dir = diskDir.parent_path(); dir != devicesRoot && dir.has_relative_path();
         dir = dir.parent_path()) {
        const fs::path subsystem = fs::read_symlink(dir / "subsystem", error);
        if (error) {
            continue;
        }
        std::string bus = subsystem.filename().string();
        for (const std::string_view removableBus : kRemovableBuses) {
            if (bus == removableBus) {
                return bus;
            }
        }
    }
    return {};
}

bool IsRemovableMedia(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISBLK(status.st_mode)) {
        return false;
    }
    const auto diskDir = DiskDirOfDevice(status.st_rdev);
    return diskDir && IsRemovableDisk(*diskDir);
}

bool IsRemovableDisk(const fs::path& diskDir) {
    // Card readers on USB often, and SD slots always, report removable 0; their bus tells.
    const bool removable =
        ReadAttribute(diskDir / "removable") == "1" || !RemovableTransport(diskDir).empty();
    return removable && !HasHolders(diskDir) && !HoldsRunningSystem(DiskDeviceSet(diskDir));
}

}  // namespace drive
