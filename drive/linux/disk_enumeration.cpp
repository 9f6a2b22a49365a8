#include <algorithm>
#include <string>
#include <system_error>
#include <vector>

#include "drive_probe.h"
#include "drive_roots.h"
#include "kernel_name_order.h"

namespace drive {
namespace {

namespace fs = std::filesystem;

bool IsSkippedKind(const std::string& name) {
    const auto startsWith = [&](std::string_view prefix) { return name.rfind(prefix, 0) == 0; };
    const bool mmcHardwarePartition =
        startsWith("mmcblk") && name.find("boot") != std::string::npos;
    const bool replayProtected = name.size() >= 4 && name.compare(name.size() - 4, 4, "rpmb") == 0;
    return startsWith("sr") || startsWith("fd") || mmcHardwarePartition || replayProtected;
}

// Whole disks that sit on real hardware, in the kernel's naming order. Loop, zram, ram,
// device-mapper, md and nbd devices live under devices/virtual and are not drives.
std::vector<std::string> HardwareDiskNames() {
    std::vector<std::string> names;
    std::error_code error;
    const fs::path virtualDir = fs::weakly_canonical(SysRoot() / "devices" / "virtual", error);
    for (const fs::directory_entry& entry : fs::directory_iterator(SysRoot() / "block", error)) {
        std::string name = entry.path().filename().string();
        if (IsSkippedKind(name)) {
            continue;
        }
        std::error_code entryError;
        const fs::path resolved = fs::canonical(entry.path(), entryError);
        if (entryError || !fs::exists(fs::symlink_status(resolved / "device", entryError))) {
            continue;
        }
        const auto [mismatch, unused] =
            std::mismatch(virtualDir.begin(), virtualDir.end(), resolved.begin(), resolved.end());
        if (mismatch == virtualDir.end()) {
            continue;
        }
        names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end(), KernelNameLess);
    return names;
}

}  // namespace

std::string DrivePath(int index) {
    if (index < 0 || index >= kDriveIndexCount) {
        return {};
    }
    const std::vector<std::string> names = HardwareDiskNames();
    if (static_cast<std::size_t>(index) >= names.size()) {
        return {};
    }
    return (DevRoot() / names[static_cast<std::size_t>(index)]).string();
}

}  // namespace drive
