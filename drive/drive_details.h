#pragma once

#include <optional>
#include <string>

#include "drive.h"
#include "drive_probe.h"

namespace drive {

// The description of the open drive at `node`, from one query of the platform.
Drive DescribeOpenDrive(DriveHandle handle, const std::string& node);

// The description of a drive this process has no right to open, from what the platform tells
// every user; nullopt where it tells nothing, or the drive is not one the list offers (not
// removable, holding the running system, or without media).
std::optional<Drive> ListWithoutOpening(const std::string& node);

}  // namespace drive
