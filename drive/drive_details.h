#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "drive_probe.h"

namespace drive {

// A few lines that tell the user which disk this is: its device node, vendor and model, bus,
// exact size in bytes and where its partitions are mounted.
std::string DescribeDrive(DriveHandle handle, const std::string& path);

// What the list shows of a drive.
struct DriveListing {
    std::uint64_t capacity = 0;
    DriveIdentity identity;
    std::string details;  // see DescribeDrive
};

// The listing of a drive this process has no right to open, from what the platform tells every
// user; nullopt where it tells nothing, or the drive is not one the list offers (not removable,
// holding the running system, or without media).
std::optional<DriveListing> ListWithoutOpening(const std::string& path);

}  // namespace drive
