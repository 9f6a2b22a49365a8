#pragma once

#include <filesystem>
#include <string>

namespace drive {

// "usb", "mmc" or "memstick" when the disk hangs on such a bus, else empty.
std::string RemovableTransport(const std::filesystem::path& diskDir);

// True when the disk at `diskDir` has removable media (the kernel's removable flag, or a USB,
// SD/MMC or Memory Stick transport) and holds nothing of the running system.
bool IsRemovableDisk(const std::filesystem::path& diskDir);

// True when the open block device is a whole disk with removable media (the kernel's removable
// flag, or a USB, SD/MMC or Memory Stick transport) that holds nothing of the running system:
// no system mount, no active swap, nothing stacked on it.
bool IsRemovableMedia(int fd);

}  // namespace drive
