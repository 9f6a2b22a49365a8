#include "drive_details.h"

#include <sys/stat.h>

#include <set>

#include "disk_usage.h"
#include "drive_length.h"
#include "removable_rule.h"
#include "sysfs.h"

namespace drive {
namespace {

namespace fs = std::filesystem;

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

std::string VendorAndModel(const fs::path& diskDir) {
    // SCSI and USB disks name vendor and model; SD and MMC cards only a name.
    std::string text;
    for (const char* attribute : {"vendor", "model", "name"}) {
        const std::string value =
            Trimmed(ReadAttribute(diskDir / "device" / attribute).value_or(""));
        if (!value.empty()) {
            text += (text.empty() ? "" : " ") + value;
        }
    }
    return text;
}

std::string BusName(const std::string& transport) {
    if (transport == "usb") {
        return "USB";
    }
    if (transport == "mmc") {
        return "SD/MMC";
    }
    if (transport == "memstick") {
        return "Memory Stick";
    }
    return {};
}

std::string MountPoints(const std::set<dev_t>& devices) {
    std::string points;
    for (const MountEntry& mount : CurrentMounts()) {
        if (devices.count(BlockDeviceOf(mount)) != 0) {
            points += (points.empty() ? "" : ", ") + mount.mountPoint;
        }
    }
    return points;
}

}  // namespace

std::string DescribeDrive(DriveHandle handle, const std::string& path) {
    std::string details = path;
    struct stat status {};
    const auto diskDir =
        ::fstat(handle, &status) == 0 ? DiskDirOfDevice(status.st_rdev) : std::nullopt;
    if (diskDir) {
        if (const std::string name = VendorAndModel(*diskDir); !name.empty()) {
            details += "\n" + name;
        }
        if (const std::string bus = BusName(RemovableTransport(*diskDir)); !bus.empty()) {
            details += "\nBus: " + bus;
        }
    }
    std::uint64_t length = 0;
    if (QueryDriveLength(handle, length)) {
        details += "\nSize: " + std::to_string(length) + " bytes";
    }
    if (diskDir) {
        const std::string points = MountPoints(DiskDeviceSet(*diskDir));
        details += points.empty() ? "\nNot mounted" : "\nMounted at " + points;
    }
    return details;
}

}  // namespace drive
