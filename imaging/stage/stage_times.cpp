#include "stage/stage_times.h"

#include <cstdio>

namespace imaging {

namespace {

constexpr const char* kNames[] = {
    "read in flight",
    "hash",
    "reader waits for an empty buffer",
    "filled buffer waits",
    "writer waits for a filled buffer",
    "write in flight",
    "writer waits for its writes",
    "flush on the way",
};
static_assert(std::size(kNames) == static_cast<std::size_t>(Wait::Count));

}  // namespace

void StageTimes::Reset() {
    for (std::size_t at = 0; at < m_nanos.size(); ++at) {
        m_nanos[at].store(0, std::memory_order_relaxed);
        m_counts[at].store(0, std::memory_order_relaxed);
    }
}

std::string StageTimes::Summary(std::uint64_t bytes) const {
    const double gibibytes = static_cast<double>(bytes) / (1ULL << 30);
    std::string text;
    for (std::size_t at = 0; at < m_nanos.size(); ++at) {
        const double seconds = static_cast<double>(m_nanos[at].load()) / 1e9;
        const std::uint64_t count = m_counts[at].load();
        char line[160];
        std::snprintf(line, sizeof line, "%-34s %8.3f s/GiB %8llu times, %8.3f ms each\n",
                      kNames[at], gibibytes > 0 ? seconds / gibibytes : 0.0,
                      static_cast<unsigned long long>(count),
                      count > 0 ? seconds * 1e3 / static_cast<double>(count) : 0.0);
        text += line;
    }
    return text;
}

}  // namespace imaging
