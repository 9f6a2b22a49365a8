#pragma once

#include <cstdint>

namespace io {

// An open file or drive as the platform names it: a file descriptor on Linux, a HANDLE on
// Windows (void*), the same type drive::DriveHandle is.
#ifdef _WIN32
using NativeFile = void*;
#else
using NativeFile = int;
#endif

}  // namespace io
