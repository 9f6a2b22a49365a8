#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace imaging {

// What one look at a running copy shows, `elapsed` seconds after copying began; any elapsed time
// is accepted, and one that is not positive shows a speed of 0.
struct ProgressReading {
    std::string elapsed;                   // "mm:ss"
    std::string speed;                     // "<n> KBps"
    std::optional<int> percent;            // none while the total is unknown (0)
    std::optional<std::string> remaining;  // none while the speed is 0
    std::optional<std::string> total;      // elapsed plus remaining
};

ProgressReading ReadProgress(std::int64_t elapsed, std::uint64_t doneBytes,
                             std::uint64_t totalBytes);

// Minutes and seconds, "%02d:%02d", minutes uncapped: 6005 s is "100:05". Negative times (the
// clock set back) keep their signs in both fields: -65 s is "-1:-5".
std::string MinutesSeconds(std::int64_t seconds);

}  // namespace imaging
