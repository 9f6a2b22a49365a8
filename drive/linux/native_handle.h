#pragma once

namespace drive {

// A drive is an open file descriptor of its block device node.
using DriveHandle = int;

inline constexpr DriveHandle kInvalidDriveHandle = -1;

}  // namespace drive
