#include "read/byte_ranges.h"

#include <algorithm>

namespace imaging {

ByteRanges Joined(const ByteRanges& ranges, std::uint64_t gap, std::uint64_t unit,
                  std::uint64_t limit) {
    ByteRanges sorted = ranges;
    std::sort(sorted.begin(), sorted.end(),
              [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
    ByteRanges joined;
    for (const ByteRange& range : sorted) {
        const std::uint64_t from = range.offset / unit * unit;
        const std::uint64_t end = range.End();
        const std::uint64_t to =
            end >= limit ? limit : std::min(limit, end + (unit - end % unit) % unit);
        if (from >= to) {
            continue;
        }
        if (!joined.empty() && from <= joined.back().End() + gap) {
            joined.back().size = std::max(joined.back().End(), to) - joined.back().offset;
        } else {
            joined.push_back({from, to - from});
        }
    }
    return joined;
}

std::uint64_t BytesIn(const ByteRanges& ranges) {
    std::uint64_t bytes = 0;
    for (const ByteRange& range : ranges) {
        bytes += range.size;
    }
    return bytes;
}

}  // namespace imaging
