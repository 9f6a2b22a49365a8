#pragma once

#include <cstdint>
#include <vector>

namespace imaging {

// A run of bytes of an image or a drive: [offset, offset + size).
struct ByteRange {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    bool operator==(const ByteRange&) const = default;
    std::uint64_t End() const { return offset + size; }
};

// In order, not overlapping.
using ByteRanges = std::vector<ByteRange>;

// All of whatever is read, to its end.
inline const ByteRanges kEverything{{0, UINT64_MAX}};

inline bool IsEverything(const ByteRanges& ranges) {
    return ranges == kEverything;
}

// `ranges`, in order, each widened to whole `unit`s and cut at `limit`, with those that then
// overlap or lie less than `gap` apart made one: a gap that small costs less to read than the
// extra request.
ByteRanges Joined(const ByteRanges& ranges, std::uint64_t gap, std::uint64_t unit,
                  std::uint64_t limit);

// How many bytes `ranges` cover.
std::uint64_t BytesIn(const ByteRanges& ranges);

}  // namespace imaging
