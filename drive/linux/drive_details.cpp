#include "drive_details.h"

#include <sys/stat.h>

#include <charconv>
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

// 0 when the attribute is missing or not a number.
std::uint64_t NumberAttribute(const fs::path& file) {
    const std::string text = ReadAttribute(file).value_or("");
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end == text.data() + text.size() ? value : 0;
}

std::string DescribeDisk(const std::string& path, const std::optional<fs::path>& diskDir,
                         std::optional<std::uint64_t> length) {
    std::string details = path;
    if (diskDir) {
        if (const std::string name = VendorAndModel(*diskDir); !name.empty()) {
            details += "\n" + name;
        }
        if (const std::string bus = BusName(RemovableTransport(*diskDir)); !bus.empty()) {
            details += "\nBus: " + bus;
        }
    }
    if (length) {
        details += "\nSize: " + std::to_string(*length) + " bytes";
    }
    if (diskDir) {
        const std::string points = MountPoints(DiskDeviceSet(*diskDir));
        details += points.empty() ? "\nNot mounted" : "\nMounted at " + points;
    }
    return details;
}

}  // namespace

std::string DescribeDrive(DriveHandle handle, const std::string& path) {
    struct stat status {};
    const auto diskDir =
        ::fstat(handle, &status) == 0 ? DiskDirOfDevice(status.st_rdev) : std::nullopt;
    std::uint64_t length = 0;
    return DescribeDisk(path, diskDir,
                        QueryDriveLength(handle, length) ? std::optional(length) : std::nullopt);
}

// sysfs counts a disk's size in 512-byte units whatever its sector size, and shows the media
// sequence number that BLKGETDISKSEQ answers.
std::optional<DriveListing> ListWithoutOpening(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISBLK(status.st_mode)) {
        return std::nullopt;
    }
    const auto diskDir = DiskDirOfDevice(status.st_rdev);
    if (!diskDir || !IsRemovableDisk(*diskDir)) {
        return std::nullopt;
    }
    const std::uint64_t sectors = NumberAttribute(*diskDir / "size");
    if (sectors == 0) {
        return std::nullopt;
    }
    DriveListing listing;
    listing.capacity = sectors * 512;
    listing.identity = {static_cast<std::uint64_t>(status.st_rdev),
                        NumberAttribute(*diskDir / "diskseq")};
    listing.details = DescribeDisk(path, diskDir, listing.capacity);
    return listing;
}

}  // namespace drive
