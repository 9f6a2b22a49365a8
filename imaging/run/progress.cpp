#include "run/progress.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace imaging {

std::string MinutesSeconds(std::int64_t seconds) {
    char text[48];
    std::snprintf(text, sizeof text, "%02" PRId64 ":%02" PRId64, seconds / 60, seconds % 60);
    return text;
}

ProgressReading ReadProgress(std::int64_t elapsed, std::uint64_t doneBytes,
                             std::uint64_t totalBytes) {
    ProgressReading reading;
    reading.elapsed = MinutesSeconds(elapsed);
    // No time gone by, or a clock set back, gives a speed of 0.
    const std::uint64_t speed = elapsed > 0 ? doneBytes / static_cast<std::uint64_t>(elapsed) : 0;
    char text[48];
    std::snprintf(text, sizeof text, "%" PRIu64 " KBps", speed >> 10);
    reading.speed = text;
    if (totalBytes != 0) {
        // Exact for drives below 2^57 bytes; never above 100 %.
        reading.percent =
            static_cast<int>(std::min<std::uint64_t>(100, doneBytes * 100 / totalBytes));
    }
    if (speed != 0) {
        const std::uint64_t left = totalBytes > doneBytes ? totalBytes - doneBytes : 0;
        const auto remaining = static_cast<std::int64_t>(left / speed);
        reading.remaining = MinutesSeconds(remaining);
        reading.total = MinutesSeconds(elapsed + remaining);
    }
    return reading;
}

}  // namespace imaging
