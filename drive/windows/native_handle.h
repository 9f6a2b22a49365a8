#pragma once

#include <windows.h>

namespace drive {

// A drive is an open handle of its physical drive.
using DriveHandle = HANDLE;

inline const DriveHandle kInvalidDriveHandle = INVALID_HANDLE_VALUE;

}  // namespace drive
