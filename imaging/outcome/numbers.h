#pragma once

#include <cstdint>
#include <string>

namespace imaging {

// 30000128 as "30,000,128".
std::string GroupedNumber(std::uint64_t number);

// 3158073 as "3.2 MB": megabytes of 10^6 bytes to the nearest tenth; under 50,000 bytes, the
// bytes ("512 bytes").
std::string Megabytes(std::uint64_t bytes);

}  // namespace imaging
