#pragma once

namespace drive {

// True when the open block device is a whole disk with removable media (the kernel's removable
// flag, or a USB, SD/MMC or Memory Stick transport) that holds nothing of the running system:
// no system mount, no active swap, nothing stacked on it.
bool IsRemovableMedia(int fd);

}  // namespace drive
