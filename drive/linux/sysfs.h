#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

namespace drive {

// The first line of a sysfs attribute file, without its newline; nullopt when it cannot be read.
std::optional<std::string> ReadAttribute(const std::filesystem::path& file);

// "MAJ:MIN" as the kernel writes device numbers.
std::optional<dev_t> ParseDeviceNumber(const std::string& text);

// The device number in the `dev` attribute of a sysfs block directory.
std::optional<dev_t> DeviceNumberOf(const std::filesystem::path& blockDir);

// The resolved sysfs directory of the whole disk a block device number belongs to (a partition
// leads to its disk); nullopt when the number is not a block device the sysfs tree knows.
std::optional<std::filesystem::path> DiskDirOfDevice(dev_t device);

}  // namespace drive
