#pragma once

#include <filesystem>

namespace drive {

// Where the backend finds sysfs and device nodes: /sys and /dev. Only tests move them, to a
// tree whose entries lead to real loop devices made to look like removable disks.
const std::filesystem::path& SysRoot();
const std::filesystem::path& DevRoot();
void SetDriveRoots(std::filesystem::path sysRoot, std::filesystem::path devRoot);

}  // namespace drive
