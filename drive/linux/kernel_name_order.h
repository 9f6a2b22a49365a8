#pragma once

#include <string_view>

namespace drive {

// The order in which the kernel names its disks: sda ... sdz, sdaa; mmcblk2 before mmcblk10;
// families (mmcblk, nvme, sd, vd, ...) alphabetically. True when `a` comes before `b`.
bool KernelNameLess(std::string_view a, std::string_view b);

}  // namespace drive
