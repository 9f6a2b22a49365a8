#include "drive_details.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <set>

#include "disk_usage.h"
#include "drive_roots.h"
#include "removable_rule.h"
#include "sysfs.h"

namespace drive {
namespace {

namespace fs = std::filesystem;

// Where udev keeps what it found out about each block device, file systems and labels among it.
constexpr const char* kUdevData = "/run/udev/data/b";

std::string Attribute(const fs::path& file) {
    return Trimmed(ReadAttribute(file).value_or(""));
}

// 0 when the attribute is missing or not a number.
std::uint64_t NumberAttribute(const fs::path& file) {
    const std::string text = Attribute(file);
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end == text.data() + text.size() ? value : 0;
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

// The devices above the disk, nearest first, up to the root of the device tree.
std::vector<fs::path> Parents(const fs::path& diskDir) {
    std::error_code error;
    const fs::path devicesRoot = fs::weakly_canonical(SysRoot() / "devices", error);
    std::vector<fs::path> parents;
    for (fs::path dir = diskDir.parent_path(); dir != devicesRoot && dir.has_relative_path();
         dir = dir.parent_path()) {
        parents.push_back(dir);
    }
    return parents;
}

std::string Subsystem(const fs::path& dir) {
    std::error_code error;
    return fs::read_symlink(dir / "subsystem", error).filename().string();
}

// SD and MMC cards name themselves and their serial on the card's own device; a USB stick or
// reader gives its serial and port on its USB device, further up the tree.
void DescribeHardware(const fs::path& diskDir, Drive& drive) {
    const fs::path device = diskDir / "device";
    drive.vendor = Attribute(device / "vendor");
    drive.model = Attribute(device / "model");
    if (drive.model.empty()) {
        drive.model = Attribute(device / "name");
    }
    drive.revision = Attribute(device / "rev");
    drive.serial = Attribute(device / "serial");
    for (const fs::path& dir : Parents(diskDir)) {
        const std::string subsystem = Subsystem(dir);
        if (subsystem == "usb" && fs::exists(dir / "devnum")) {
            drive.port = "usb " + dir.filename().string();
            if (drive.serial.empty()) {
                drive.serial = Attribute(dir / "serial");
            }
            break;
        }
        if (subsystem == "mmc" || subsystem == "memstick") {
            drive.port = dir.filename().string();
            break;
        }
    }
}

// udev's record of the block device: "E:KEY=value" lines.
std::string UdevProperty(dev_t device, const std::string& key) {
    std::ifstream data(kUdevData + std::to_string(major(device)) + ":" +
                       std::to_string(minor(device)));
    const std::string mark = "E:" + key + "=";
    for (std::string line; std::getline(data, line);) {
        if (line.rfind(mark, 0) == 0) {
            return line.substr(mark.size());
        }
    }
    return {};
}

// The disk itself where it holds a file system, and each of its partitions.
std::vector<Volume> Volumes(const fs::path& diskDir) {
    std::vector<fs::path> blockDirs = {diskDir};
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(diskDir, error)) {
        if (fs::exists(entry.path() / "partition")) {
            blockDirs.push_back(entry.path());
        }
    }
    std::sort(blockDirs.begin() + 1, blockDirs.end());
    const std::vector<MountEntry> mounts = CurrentMounts();
    std::vector<Volume> volumes;
    for (const fs::path& blockDir : blockDirs) {
        const auto device = DeviceNumberOf(blockDir);
        if (!device) {
            continue;
        }
        Volume volume{(DevRoot() / blockDir.filename()).string(),
                      UdevProperty(*device, "ID_FS_TYPE"),
                      UdevProperty(*device, "ID_FS_LABEL"),
                      {}};
        for (const MountEntry& mount : mounts) {
            if (BlockDeviceOf(mount) == *device && volume.mountPoint.empty()) {
                volume.mountPoint = mount.mountPoint;
            }
        }
        // The whole disk counts as a volume only where it holds a file system of its own.
        if (blockDir != diskDir || !volume.fileSystem.empty() || !volume.mountPoint.empty()) {
            volumes.push_back(volume);
        }
    }
    return volumes;
}

// Everything is read from sysfs, whoever asks and whether or not the drive is open, so a user
// without the right to open it sees what root sees. sysfs counts a disk's size in 512-byte units
// whatever its sector size, and shows the media sequence number that BLKGETDISKSEQ answers.
Drive DescribeDisk(const std::string& node, const fs::path& diskDir, dev_t device) {
    Drive drive;
    drive.node = node;
    DescribeHardware(diskDir, drive);
    drive.length = NumberAttribute(diskDir / "size") * 512;
    drive.logicalSectorSize =
        static_cast<std::uint32_t>(NumberAttribute(diskDir / "queue" / "logical_block_size"));
    drive.physicalSectorSize =
        static_cast<std::uint32_t>(NumberAttribute(diskDir / "queue" / "physical_block_size"));
    drive.removable = IsRemovableDisk(diskDir);
    drive.bus = BusName(RemovableTransport(diskDir));
    drive.identity = {static_cast<std::uint64_t>(device), NumberAttribute(diskDir / "diskseq")};
    drive.readOnly = Attribute(diskDir / "ro") == "1";
    drive.volumes = Volumes(diskDir);
    drive.volumesKnown = true;
    return drive;
}

}  // namespace

Drive DescribeOpenDrive(DriveHandle handle, const std::string& node) {
    struct stat status {};
    const auto diskDir =
        ::fstat(handle, &status) == 0 ? DiskDirOfDevice(status.st_rdev) : std::nullopt;
    if (!diskDir) {
        Drive drive;
        drive.node = node;
        drive.length = DriveCapacity(handle);
        return drive;
    }
    return DescribeDisk(node, *diskDir, status.st_rdev);
}

std::optional<Drive> ListWithoutOpening(const std::string& node) {
    struct stat status {};
    if (::stat(node.c_str(), &status) != 0 || !S_ISBLK(status.st_mode)) {
        return std::nullopt;
    }
    const auto diskDir = DiskDirOfDevice(status.st_rdev);
    if (!diskDir || !IsRemovableDisk(*diskDir) || NumberAttribute(*diskDir / "size") == 0) {
        return std::nullopt;
    }
    return DescribeDisk(node, *diskDir, status.st_rdev);
}

}  // namespace drive
