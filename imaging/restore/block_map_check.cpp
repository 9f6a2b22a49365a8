#include "restore/block_map_check.h"

#include <algorithm>
#include <string>

namespace imaging {

using error::Failure;
using error::FailureReason;

Failure BlockMapCheck::Update(std::uint64_t offset, const std::byte* data, std::size_t size) {
    for (; m_next < m_map.ranges.size(); ++m_next) {
        const BlockRange& range = m_map.ranges[m_next];
        const std::uint64_t start = range.first * m_map.blockSize;
        const std::uint64_t end = std::min((range.last + 1) * m_map.blockSize, m_map.imageSize);
        const std::uint64_t from = std::max(offset, start);
        const std::uint64_t to = std::min(offset + size, end);
        if (!m_digest) {
            m_digest.emplace(m_map.checksumKind);
        }
        if (from < to) {
            m_digest->Update(data + (from - offset), to - from);
        }
        if (offset + size < end) {
            return {};
        }
        std::string hex;
        if (Failure failure = m_digest->Finish(hex)) {
            return failure;
        }
        m_digest.reset();
        if (!range.checksum.empty() && hex != range.checksum) {
            return {FailureReason::ImageDamaged, 0,
                    "blocks " + std::to_string(range.first) + "-" + std::to_string(range.last) +
                        " differ from " + m_map.fileName};
        }
    }
    return {};
}

}  // namespace imaging
