#include <gtest/gtest.h>

#include <string>

#include "gtest_support.h"
#include "image/target_folder.h"
#include "read/byte_ranges.h"
#include "test_system.h"

namespace {

using imaging::ByteRanges;
using testing_support::TempDir;

constexpr std::uint64_t kKiB = 1024;

// Ranges widened to whole units, cut at the limit, and joined where they meet or lie closer
// than the gap; in order whatever order they came in.
TEST(ByteRanges, JoinedWidensCutsAndJoins) {
    struct Case {
        const char* name;
        ByteRanges ranges;
        std::uint64_t gap;
        ByteRanges joined;
    };
    const Case cases[] = {
        {"widened to whole units", {{100, 50}}, 0, {{0, 4 * kKiB}}},
        {"out of order, apart",
         {{40 * kKiB, 4 * kKiB}, {0, 4 * kKiB}},
         0,
         {{0, 4 * kKiB}, {40 * kKiB, 4 * kKiB}}},
        {"closer than the gap", {{0, 4 * kKiB}, {12 * kKiB, 4 * kKiB}}, 8 * kKiB, {{0, 16 * kKiB}}},
        {"overlapping once widened", {{0, 5000}, {6000, 100}}, 0, {{0, 8 * kKiB}}},
        {"cut at the limit, and what lies past it dropped",
         {{90 * kKiB, 20 * kKiB}, {120 * kKiB, kKiB}},
         0,
         {{88 * kKiB, 12 * kKiB}}},
        {"everything, cut at the limit", imaging::kEverything, 0, {{0, 100 * kKiB}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(imaging::Joined(c.ranges, c.gap, 4 * kKiB, 100 * kKiB), c.joined);
    }
}

// A sparse file's data extents, as its file system keeps them: the holes left out; a file
// with no data has none.
TEST(ByteRanges, DataExtentsLeaveOutTheHoles) {
    const TempDir dir;
    const std::string sparse = (dir / "sparse.img").string();
    const std::string empty = (dir / "empty.img").string();
    SHELL("truncate -s 8M " + sparse + " " + empty +
          " && head -c 65536 /dev/urandom | dd of=" + sparse +
          " bs=64K seek=16 conv=notrunc status=none && head -c 4096 /dev/urandom >> " + sparse);
    imaging::ImageHandle file;
    ASSERT_FALSE(imaging::OpenToRead(sparse, file));
    const ByteRanges extents = imaging::DataExtents(file, 8 * 1024 * kKiB + 4 * kKiB);
    EXPECT_EQ(imaging::Joined(extents, 0, 4 * kKiB, UINT64_MAX),
              (ByteRanges{{kKiB * kKiB, 64 * kKiB}, {8 * kKiB * kKiB, 4 * kKiB}}));
    imaging::ImageHandle none;
    ASSERT_FALSE(imaging::OpenToRead(empty, none));
    EXPECT_TRUE(imaging::DataExtents(none, 8 * kKiB * kKiB).empty());
}

}  // namespace
