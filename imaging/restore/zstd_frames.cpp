#include "restore/zstd_frames.h"

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <array>

namespace imaging {

namespace {

// A block's header: its last-block flag, its type and its size, in 3 bytes.
constexpr std::size_t kBlockHeader = 3;
constexpr unsigned kRleBlock = 1;
constexpr unsigned kReservedBlock = 3;
constexpr std::uint64_t kFrameChecksum = 4;

// Up to `size` bytes at `offset`; false where they cannot all be read.
bool ReadAt(const ImageHandle& file, std::uint64_t offset, std::byte* data, std::size_t size) {
    if (PositionAt(file, offset)) {
        return false;
    }
    std::size_t got = 0;
    for (std::size_t part = 1; got < size && part > 0; got += part) {
        if (ReadSome(file, data + got, size - got, part)) {
            return false;
        }
    }
    return got == size;
}

// The offset past the blocks of a frame whose first block begins at `at`.
std::optional<std::uint64_t> PastBlocks(const ImageHandle& file, std::uint64_t at,
                                        std::uint64_t fileLength) {
    for (bool last = false; !last;) {
        std::array<std::byte, kBlockHeader> header{};
        if (at + kBlockHeader > fileLength || !ReadAt(file, at, header.data(), header.size())) {
            return std::nullopt;
        }
        const std::uint32_t word = std::to_integer<std::uint32_t>(header[0]) |
                                   std::to_integer<std::uint32_t>(header[1]) << 8 |
                                   std::to_integer<std::uint32_t>(header[2]) << 16;
        last = (word & 1U) != 0;
        const unsigned type = (word >> 1) & 3U;
        if (type == kReservedBlock) {
            return std::nullopt;
        }
        at += kBlockHeader + (type == kRleBlock ? 1 : word >> 3);
    }
    return at;
}

}  // namespace

std::optional<std::uint64_t> ZstdContentLength(const ImageHandle& file, std::uint64_t fileLength) {
    std::uint64_t total = 0;
    for (std::uint64_t at = 0; at < fileLength;) {
        std::array<std::byte, ZSTD_FRAMEHEADERSIZE_MAX> header{};
        const std::size_t size = std::min<std::uint64_t>(header.size(), fileLength - at);
        ZSTD_frameHeader frame{};
        if (!ReadAt(file, at, header.data(), size) ||
            ZSTD_getFrameHeader(&frame, header.data(), size) != 0) {
            return std::nullopt;
        }
        if (frame.frameType == ZSTD_skippableFrame) {
            at += frame.headerSize + frame.frameContentSize;
            continue;
        }
        if (frame.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN) {
            return std::nullopt;
        }
        total += frame.frameContentSize;
        const std::optional<std::uint64_t> end =
            PastBlocks(file, at + frame.headerSize, fileLength);
        if (!end) {
            return std::nullopt;
        }
        at = *end + (frame.checksumFlag != 0 ? kFrameChecksum : 0);
    }
    return total;
}

}  // namespace imaging
