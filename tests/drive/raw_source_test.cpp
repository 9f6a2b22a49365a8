#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "gtest_support.h"
#include "read/digest.h"
#include "restore/image_source.h"
#include "restore/shared_decode.h"
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

namespace {

// Reads `bytes` (all: to the end) from `source`, hashing them into `digest`; the failure that
// ended it, if any.
error::Failure ReadInto(imaging::ImageSource& source, imaging::Digest& digest,
                        std::uint64_t bytes = UINT64_MAX) {
    std::vector<std::byte> piece(3 * kMiB + 5);
    while (bytes > 0) {
        std::size_t got = 0;
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(bytes, piece.size()));
        if (error::Failure failure = imaging::ReadFull(source, piece.data(), want, got)) {
            return failure;
        }
        if (got == 0) {
            break;
        }
        digest.Update(piece.data(), got);
        bytes -= got;
    }
    return {};
}

// Cards that share a decode each read the whole image: one far ahead, one so far behind that its
// bytes have left the shared window (it goes on with a decoder of its own), and one that comes
// once they are gone. A damaged image fails every reader that reaches the damage.
TEST(SharedDecode, EveryCardReadsTheWholeImageAheadOrBehind) {
    const TempDir dir;
    const fs::path raw = dir / "system.img";
    testing_support::WriteRandomFile(raw, 8 * kMiB, 43);
    SHELL("truncate -s 200M " + raw.string() + " && zstd -q -1 " + raw.string());
    const std::string expected = testing_support::Output("sha256sum " + raw.string()).substr(0, 64);
    const std::string image = raw.string() + ".zst";
    const auto hex = [](imaging::Digest& digest) {
        std::string text;
        EXPECT_FALSE(digest.Finish(text));
        return text;
    };
    imaging::SharedDecode decode(image);
    std::unique_ptr<imaging::ImageSource> ahead;
    std::unique_ptr<imaging::ImageSource> behind;
    ASSERT_FALSE(decode.Open(imaging::SharedPass::Write, imaging::ImageFormat::Zstd, ahead));
    ASSERT_FALSE(decode.Open(imaging::SharedPass::Write, imaging::ImageFormat::Zstd, behind));
    EXPECT_EQ(behind->Length(), 200 * kMiB);
    imaging::Digest aheadDigest;
    imaging::Digest behindDigest;
    ASSERT_FALSE(ReadInto(*behind, behindDigest, kMiB));
    ASSERT_FALSE(ReadInto(*ahead, aheadDigest));
    ASSERT_FALSE(ReadInto(*behind, behindDigest));
    EXPECT_EQ(hex(aheadDigest), expected);
    EXPECT_EQ(hex(behindDigest), expected);
    ahead.reset();
    behind.reset();
    std::unique_ptr<imaging::ImageSource> later;
    ASSERT_FALSE(decode.Open(imaging::SharedPass::Write, imaging::ImageFormat::Zstd, later));
    imaging::Digest laterDigest;
    ASSERT_FALSE(ReadInto(*later, laterDigest));
    EXPECT_EQ(hex(laterDigest), expected);
    // Replaced by a shorter image while a card lagged: that card cannot go on alone.
    ASSERT_FALSE(decode.Open(imaging::SharedPass::Verify, imaging::ImageFormat::Zstd, ahead));
    ASSERT_FALSE(decode.Open(imaging::SharedPass::Verify, imaging::ImageFormat::Zstd, behind));
    ASSERT_FALSE(ReadInto(*behind, behindDigest, 10 * kMiB));
    ASSERT_FALSE(ReadInto(*ahead, aheadDigest));
    SHELL("head -c 8M " + raw.string() + " | zstd -q -1 -f -o " + image);
    EXPECT_EQ(ReadInto(*behind, behindDigest).reason, error::FailureReason::ImageChanged);

    SHELL("printf 'XXXX' | dd of=" + image + " bs=1 seek=20000 conv=notrunc status=none");
    imaging::SharedDecode damaged(image);
    std::unique_ptr<imaging::ImageSource> first;
    std::unique_ptr<imaging::ImageSource> second;
    ASSERT_FALSE(damaged.Open(imaging::SharedPass::Verify, imaging::ImageFormat::Zstd, first));
    ASSERT_FALSE(damaged.Open(imaging::SharedPass::Verify, imaging::ImageFormat::Zstd, second));
    imaging::Digest ignored;
    EXPECT_EQ(ReadInto(*first, ignored).reason, error::FailureReason::ImageDamaged);
    EXPECT_EQ(ReadInto(*second, ignored).reason, error::FailureReason::ImageDamaged);
}

}  // namespace
