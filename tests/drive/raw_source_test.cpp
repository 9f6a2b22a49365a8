#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "gtest_support.h"
#include "restore/image_source.h"
#include "test_files.h"
#include "test_system.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ScopedMount;
using testing_support::TempDir;

constexpr std::uint64_t kMiB = 1 << 20;

// A raw image read ahead gives its bytes in order, in pieces of any size, past a skip to an
// offset off the disk's blocks and up to an end within a block, whether its file system reads
// around the cache (ext4) or not (tmpfs); a skip stops at the file's end.
TEST(RawImage, ReadsAheadWhatTheFileHolds) {
    REQUIRE_ROOT();
    const TempDir dir;
    const ScopedMount tmpfs("tmpfs", dir / "tmpfs", "-t tmpfs -o size=32m");
    ASSERT_TRUE(tmpfs.IsMounted());
    const std::uint64_t length = 11 * kMiB + 1234;
    for (const fs::path& path : {dir / "disk.img", dir / "tmpfs" / "mem.img"}) {
        SCOPED_TRACE(path.string());
        testing_support::WriteRandomFile(path, length, 41);
        std::ifstream in(path, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
        std::unique_ptr<imaging::ImageSource> source;
        ASSERT_FALSE(imaging::OpenImageSource(path.string(), imaging::ImageFormat::Raw, source));

        std::vector<std::byte> piece(kMiB + 7);
        std::uint64_t at = 0;
        // Returns false once a piece differs from the file's bytes at `at`.
        const auto readsAsFile = [&](std::size_t size) {
            std::size_t got = 0;
            EXPECT_FALSE(imaging::ReadFull(*source, piece.data(), size, got));
            const std::size_t want = std::min<std::uint64_t>(size, length - at);
            const bool same = got == want && std::memcmp(piece.data(), bytes.data() + at, got) == 0;
            at += got;
            return same;
        };
        for (int part = 0; part < 3; ++part) {
            EXPECT_TRUE(readsAsFile(piece.size()));
        }
        std::uint64_t skipped = 0;
        ASSERT_FALSE(source->Skip(3 * kMiB + 100, skipped));
        EXPECT_EQ(skipped, 3 * kMiB + 100);
        at += skipped;
        while (at < length) {
            ASSERT_TRUE(readsAsFile(piece.size()));
        }
        EXPECT_TRUE(readsAsFile(piece.size()));
        ASSERT_FALSE(source->Skip(kMiB, skipped));
        EXPECT_EQ(skipped, 0U);
    }
}

}  // namespace
