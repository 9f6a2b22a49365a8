#pragma once

namespace imaging {

// The image is an open file descriptor of a regular file.
using ImageHandle = int;

inline constexpr ImageHandle kInvalidImageHandle = -1;

}  // namespace imaging
