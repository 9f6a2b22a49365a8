#pragma once

#include <windows.h>

namespace imaging {

// The image is an open handle of a file on a disk volume.
using ImageHandle = HANDLE;

inline const ImageHandle kInvalidImageHandle = INVALID_HANDLE_VALUE;

}  // namespace imaging
