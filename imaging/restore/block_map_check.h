#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "failure.h"
#include "image/block_map.h"
#include "read/digest.h"

namespace imaging {

// Checks an image's bytes, fed in order from its first, against the ranges of its block map:
// each range's checksum once its last byte has passed. ImageDamaged "blocks 96-2047 differ from
// os.img.bmap" at the first range that differs.
class BlockMapCheck {
public:
    explicit BlockMapCheck(const BlockMap& map) : m_map(map) {}
    error::Failure Update(std::uint64_t offset, const std::byte* data, std::size_t size);

private:
    const BlockMap& m_map;
    std::size_t m_next = 0;  // the range being checked
    std::optional<Digest> m_digest;
};

}  // namespace imaging
