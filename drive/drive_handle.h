#pragma once

#include <cstdint>

namespace drive {

// An open drive: on Linux a file descriptor of its block device node, on Windows a handle of its
// physical drive (HANDLE is void*; INVALID_HANDLE_VALUE is all bits set). The one place the two
// platforms differ in what every layer above sees, so it is chosen here rather than by a header
// of each backend.
#ifdef _WIN32
using DriveHandle = void*;
inline DriveHandle const kInvalidDriveHandle =
    reinterpret_cast<DriveHandle>(static_cast<std::intptr_t>(-1));
#else
using DriveHandle = int;
inline constexpr DriveHandle kInvalidDriveHandle = -1;
#endif

}  // namespace drive
