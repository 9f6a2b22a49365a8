#pragma once

#include <sys/types.h>

#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace drive {

// One line of /proc/self/mountinfo.
struct MountEntry {
    dev_t device = 0;  // the st_dev of files on this mount
    std::string mountPoint;
    std::string source;
};

std::vector<MountEntry> ParseMountInfo(std::string_view text);

// The mounts this process sees now.
std::vector<MountEntry> CurrentMounts();

// The block device a mount lives on: its own device number, or for filesystems that number
// their mounts anonymously (btrfs), the device its source names; 0 when it has none.
dev_t BlockDeviceOf(const MountEntry& mount);

// The device numbers of a disk, its partitions and everything stacked on them (LUKS, LVM, md).
std::set<dev_t> DiskDeviceSet(const std::filesystem::path& diskDir);

// True when something (LUKS, LVM, md) is stacked on the disk or one of its partitions.
bool HasHolders(const std::filesystem::path& diskDir);

// True when one of the block devices holds the running system (/, /boot, /usr, /var, /home)
// or active swap.
bool HoldsRunningSystem(const std::set<dev_t>& blockDevices);

// The st_dev values of every file that lives on the block devices: theirs, and those of the
// mounts made from them.
std::set<dev_t> FilesystemDevicesOn(const std::set<dev_t>& blockDevices);

}  // namespace drive
