#include "outcome/numbers.h"

namespace imaging {

std::string GroupedNumber(std::uint64_t number) {
    std::string digits = std::to_string(number);
    for (auto at = static_cast<std::ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<std::size_t>(at), 1, ',');
    }
    return digits;
}

std::string Megabytes(std::uint64_t bytes) {
    constexpr std::uint64_t kTenth = 100'000;
    // Under a twentieth of a MB it would read "0.0 MB".
    if (bytes < kTenth / 2) {
        return GroupedNumber(bytes) + (bytes == 1 ? " byte" : " bytes");
    }
    const std::uint64_t tenths = (bytes + kTenth / 2) / kTenth;
    return GroupedNumber(tenths / 10) + "." + std::to_string(tenths % 10) + " MB";
}

}  // namespace imaging
