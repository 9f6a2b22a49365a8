#pragma once

#include <cstdint>

#include "drive_handle.h"

namespace drive {

// The drive's exact length in bytes as the platform reports it; false when it cannot tell.
bool QueryDriveLength(DriveHandle handle, std::uint64_t& length);

}  // namespace drive
