#include "rescue_map.h"

#include <cinttypes>
#include <cstdio>

namespace imaging {
namespace {

std::string MapLine(std::uint64_t offset, std::uint64_t size, char status) {
    char line[64];
    std::snprintf(line, sizeof line, "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", offset, size,
                  status);
    return line;
}

}  // namespace

void AddRange(std::vector<ByteRange>& ranges, ByteRange range) {
    if (!ranges.empty() && ranges.back().offset + ranges.back().size == range.offset) {
        ranges.back().size += range.size;
        return;
    }
    ranges.push_back(range);
}

std::string FormatRescueMap(std::uint64_t driveSize, const std::vector<ByteRange>& unreadable) {
    std::string map =
        "# Mapfile. Created by kalvor 1.0\n"
        "# Finished\n"
        "# current_pos  current_status  current_pass\n"
        "0x00000000     +               1\n"
        "#      pos        size  status\n";
    std::uint64_t position = 0;
    for (const ByteRange& bad : unreadable) {
        if (bad.offset > position) {
            map += MapLine(position, bad.offset - position, '+');
        }
        map += MapLine(bad.offset, bad.size, '-');
        position = bad.offset + bad.size;
    }
    if (position < driveSize) {
        map += MapLine(position, driveSize - position, '+');
    }
    return map;
}

}  // namespace imaging
