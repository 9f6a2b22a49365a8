#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace imaging {

// A run of bytes of the drive: [offset, offset + size).
struct ByteRange {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    bool operator==(const ByteRange&) const = default;
};

// Adds `range` to `ranges`, which are kept in order, merged with the last one when they touch.
void AddRange(std::vector<ByteRange>& ranges, ByteRange range);

// The map of a finished rescue of a drive of `driveSize` bytes in GNU ddrescue's mapfile format:
// every byte finished ("+") but the `unreadable` ranges, which are bad sectors ("-"), so
// ddrescue can retry exactly those from the drive into the image.
std::string FormatRescueMap(std::uint64_t driveSize, const std::vector<ByteRange>& unreadable);

}  // namespace imaging
