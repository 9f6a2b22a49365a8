#include "restore/written_ranges.h"

#include <algorithm>

#include "image/image_file.h"
#include "image/target_folder.h"

namespace imaging {

namespace {

// A gap this small costs less to read than the extra requests on either side of it.
constexpr std::uint64_t kJoinedGap = 1 << 20;

ByteRanges MappedRanges(const BlockMap& map) {
    ByteRanges ranges;
    for (const BlockRange& range : map.ranges) {
        const std::uint64_t from = range.first * map.blockSize;
        ranges.push_back({from, std::min((range.last + 1) * map.blockSize, map.imageSize) - from});
    }
    return ranges;
}

}  // namespace

ByteRanges WrittenRanges(const std::string& path, const ImageFacts& facts, bool skipEmpty) {
    if (!facts.length) {
        return kEverything;
    }
    ByteRanges ranges;
    if (facts.blockMap) {
        ranges = MappedRanges(*facts.blockMap);
    } else if (skipEmpty && facts.format == ImageFormat::Raw) {
        ImageHandle file;
        if (OpenToRead(path, file)) {
            return kEverything;
        }
        ranges = DataExtents(file, *facts.length);
    } else {
        return kEverything;
    }
    ranges.push_back({0, kTableArea});
    ranges = Joined(ranges, kJoinedGap, kHoleBlock, *facts.length);
    return BytesIn(ranges) == *facts.length ? kEverything : ranges;
}

}  // namespace imaging
