#pragma once

#include <cstddef>
#include <cstring>

namespace imaging {

// The smallest hole worth leaving in an image: a file system's block.
inline constexpr std::size_t kHoleBlock = 4096;

inline bool IsZero(const std::byte* data, std::size_t size) {
    return data[0] == std::byte{0} && std::memcmp(data, data + 1, size - 1) == 0;
}

}  // namespace imaging
