#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "image/block_map.h"
#include "restore/block_map_check.h"
#include "test_system.h"

namespace {

using imaging::BlockMap;
using imaging::BlockMapCheck;
using imaging::HashKind;
using testing_support::TempDir;

constexpr std::size_t kBlock = 4096;

// Blocks of data and of zeros, as `layout` says ('d' or '0'), and a last block of 100 bytes.
std::vector<std::byte> Image(const std::string& layout) {
    std::vector<std::byte> bytes;
    for (std::size_t block = 0; block < layout.size(); ++block) {
        for (std::size_t at = 0; at < kBlock; ++at) {
            bytes.push_back(layout[block] == 'd' ? std::byte(block * 7 + at % 251 + 1)
                                                 : std::byte{0});
        }
    }
    bytes.insert(bytes.end(), 100, std::byte{9});
    return bytes;
}

std::string HexOf(HashKind kind, const std::vector<std::byte>& bytes, std::size_t from,
                  std::size_t to) {
    imaging::Digest digest(kind);
    digest.Update(bytes.data() + from, to - from);
    std::string hex;
    EXPECT_FALSE(digest.Finish(hex));
    return hex;
}

// The map built from an image's bytes, fed in uneven pieces, is written as text, read back and
// then checks the image: a range whose bytes changed is named.
TEST(BlockMap, BuiltWrittenReadAndChecked) {
    const std::vector<std::byte> image = Image("dd00d000dd");
    imaging::BlockMapBuilder builder;
    for (std::size_t at = 0; at < image.size(); at += 3000) {
        builder.Update(image.data() + at, std::min<std::size_t>(3000, image.size() - at));
    }
    BlockMap built;
    ASSERT_FALSE(builder.Finish(built));
    ASSERT_EQ(built.ranges.size(), 3U);
    EXPECT_EQ(built.ranges[0].last, 1U);
    EXPECT_EQ(built.ranges[1].first, 4U);
    EXPECT_EQ(built.ranges[2].first, 8U);
    EXPECT_EQ(built.ranges[2].last, 10U);  // the 100 bytes past the last whole block
    EXPECT_EQ(built.MappedBytes(), 5 * kBlock + 100);

    const TempDir dir;
    const std::string text = imaging::BlockMapText(built);
    std::ofstream(dir / "image.bmap") << text;
    BlockMap read;
    ASSERT_FALSE(imaging::ReadBlockMap(dir / "image.bmap", read));
    EXPECT_EQ(read.imageSize, image.size());
    EXPECT_TRUE(read.Maps(4 * kBlock, 1));
    EXPECT_FALSE(read.Maps(5 * kBlock, 3 * kBlock));

    BlockMapCheck whole(read);
    EXPECT_FALSE(whole.Update(0, image.data(), image.size()));
    std::vector<std::byte> changed = image;
    changed[8 * kBlock + 5] = std::byte{0x5a};
    BlockMapCheck check(read);
    const error::Failure failure = check.Update(0, changed.data(), changed.size());
    EXPECT_EQ(failure.message, "blocks 8-10 differ from image.bmap");

    // A byte changed in the map's own text fails its checksum.
    std::string damaged = text;
    char& digit = damaged[damaged.find("chksum=\"") + 8];
    digit = digit == 'a' ? 'b' : 'a';
    std::ofstream(dir / "damaged.bmap") << damaged;
    EXPECT_NE(imaging::ReadBlockMap(dir / "damaged.bmap", read)
                  .message.find("fails its own "
                                "checksum"),
              std::string::npos);
}

// A bmap of version 1.x names SHA-1 in each range and has no checksum type: its ranges are
// checked with SHA-1; checksums of the wrong length refuse the map before anything is written.
TEST(BlockMap, VersionOneChecksWithSha1) {
    const std::vector<std::byte> image = Image("d0");
    const std::string sha1 = HexOf(HashKind::Sha1, image, 0, kBlock);
    const auto map = [&](const std::string& checksum) {
        return "<?xml version=\"1.0\" ?>\n<bmap version=\"1.2\">\n<ImageSize> " +
               std::to_string(image.size()) +
               " </ImageSize>\n<BlockSize> 4096 </BlockSize>\n<BlocksCount> 3 </BlocksCount>\n"
               "<MappedBlocksCount> 1 </MappedBlocksCount>\n<BlockMap>\n<Range sha1=\"" +
               checksum + "\"> 0 </Range>\n</BlockMap>\n</bmap>\n";
    };
    const TempDir dir;
    std::ofstream(dir / "old.bmap") << map(sha1);
    BlockMap read;
    ASSERT_FALSE(imaging::ReadBlockMap(dir / "old.bmap", read));
    EXPECT_EQ(read.checksumKind, HashKind::Sha1);
    BlockMapCheck check(read);
    EXPECT_FALSE(check.Update(0, image.data(), image.size()));

    std::ofstream(dir / "mixed.bmap") << map(HexOf(HashKind::Sha256, image, 0, kBlock));
    EXPECT_NE(imaging::ReadBlockMap(dir / "mixed.bmap", read).message.find("not a sound bmap"),
              std::string::npos);
}

}  // namespace
