#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "failure.h"
#include "read/digest.h"

namespace imaging {

// The blocks of an image that hold data, as the bmap format (bmaptool's) lists them: the ranges
// of blocks a restore writes, each with the checksum of its bytes; the rest of the image is
// empty and left out.
struct BlockRange {
    std::uint64_t first = 0;  // blocks, both ends included
    std::uint64_t last = 0;
    std::string checksum;  // lowercase hex of the range's bytes
};

struct BlockMap {
    std::uint64_t imageSize = 0;
    std::uint64_t blockSize = 4096;
    HashKind checksumKind = HashKind::Sha256;
    std::vector<BlockRange> ranges;  // in order, not overlapping
    std::string fileName;            // where it was read from

    std::uint64_t MappedBytes() const;
    // Whether any of the bytes [offset, offset + size) lie in a mapped range.
    bool Maps(std::uint64_t offset, std::uint64_t size) const;
};

// Where bmaptool finds the map of the image at `path`: IMAGE.bmap, then the name with one
// extension after another taken off ("os.img.xz" -> "os.img.bmap", "os.bmap").
std::optional<std::filesystem::path> FindBlockMap(const std::string& path);

// Reads a bmap file of version 1.x (SHA-1 ranges) or 2.0 (SHA-256 ranges) with expat, and checks
// its own checksum (BmapFileChecksum, BmapFileSHA1) where it has one. ImageRefused, naming the
// file, where it cannot be read or is not a sound bmap.
error::Failure ReadBlockMap(const std::filesystem::path& path, BlockMap& map);

// The text of a version 2.0 bmap of `map` (SHA-256 ranges), with its own checksum, as
// `bmaptool copy` reads it.
std::string BlockMapText(const BlockMap& map);

// Builds the map of an image from its bytes, fed in order: each 4 KiB block that is not all
// zeros is mapped, and each range hashed as it passes.
class BlockMapBuilder {
public:
    BlockMapBuilder();
    void Update(const std::byte* data, std::size_t size);
    // The map of everything fed.
    error::Failure Finish(BlockMap& map);

private:
    void Block(const std::byte* block, std::size_t size);
    error::Failure CloseRange();

    BlockMap m_map;
    std::uint64_t m_offset = 0;
    std::uint64_t m_blocks = 0;
    std::optional<Digest> m_range;     // the open range's hash
    std::vector<std::byte> m_partial;  // a block begun in one piece and ended in the next
    error::Failure m_failure;
};

}  // namespace imaging
