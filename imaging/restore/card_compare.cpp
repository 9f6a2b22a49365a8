#include "restore/card_compare.h"

#include <algorithm>
#include <cstring>

#include "drive.h"
#include "image/image_file.h"
#include "outcome/numbers.h"
#include "restore/image_facts.h"
#include "stage/buffer_ring.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

namespace {

// `patch`, placed at `at`, laid over `bytes`, placed at `offset`, where they meet.
void Overlay(std::vector<std::byte>& bytes, std::uint64_t offset,
             const std::vector<std::byte>& patch, std::uint64_t at) {
    const std::uint64_t from = std::max(offset, at);
    const std::uint64_t to = std::min(offset + bytes.size(), at + patch.size());
    if (from < to) {
        std::memcpy(bytes.data() + (from - offset), patch.data() + (from - at), to - from);
    }
}

// "counterfeit: the card returns at byte X what was written at byte Y; it holds only about
// N GB".
std::string DescribeWrap(std::uint64_t at, std::uint64_t from) {
    const std::uint64_t apart = at > from ? at - from : from - at;
    return "counterfeit: the card returns at byte " + GroupedNumber(at) +
           " what was written at byte " + GroupedNumber(from) + "; it holds only about " +
           drive::DecimalGigabytes(apart);
}

Failure EndedSooner() {
    return {FailureReason::ImageChanged, 0, "it ended sooner than when it was written"};
}

}  // namespace

// Where a fake card wraps, the sector it returns at `at` (a sector's start) is the one last
// written where it lands: the table, written last, or the image further on. Reads what is left
// of the image.
std::optional<std::uint64_t> CardCompare::FindInImage(const std::byte* sector, std::uint64_t at) {
    const std::size_t size = m_card.sectorSize;
    // The sector among `bytes`, which lie at `from`, at `first` or past it.
    const auto holds = [&](const std::vector<std::byte>& bytes, std::uint64_t from,
                           std::uint64_t first) -> std::optional<std::uint64_t> {
        for (std::uint64_t offset = (std::max(first, from) + size - 1) / size * size;
             offset + size <= from + bytes.size(); offset += size) {
            if (offset != at && std::memcmp(bytes.data() + (offset - from), sector, size) == 0) {
                return offset;
            }
        }
        return std::nullopt;
    };
    if (const auto inTable = holds(m_head, 0, 0)) {
        return inTable;
    }
    if (const auto further = holds(m_expected, m_offset, at + 1)) {
        return further;
    }
    std::vector<std::byte> chunk;
    for (std::uint64_t from = m_offset + m_expected.size();
         from < m_imageBytes && !m_cancelled();) {
        chunk.resize(std::min<std::uint64_t>(kRunBufferSize, m_imageBytes - from));
        std::size_t got = 0;
        if (ReadFull(m_image, chunk.data(), chunk.size(), got) || got == 0) {
            return std::nullopt;
        }
        chunk.resize(got);
        if (const auto found = holds(chunk, from, from)) {
            return found;
        }
        from += got;
    }
    return std::nullopt;
}

Failure CardCompare::Differs(std::uint64_t at, const std::byte* data) {
    const std::uint64_t sector = at / m_card.sectorSize * m_card.sectorSize;
    const std::byte* const returned = data + (sector - m_offset);
    // A sector of zeros, or of one byte over and over, is found in many places of any image.
    const bool telling =
        sector >= m_offset && std::any_of(returned, returned + m_card.sectorSize,
                                          [&](std::byte b) { return b != returned[0]; });
    if (telling) {
        if (const std::optional<std::uint64_t> from = FindInImage(returned, sector)) {
            return {FailureReason::CardHoldsLess, 0, DescribeWrap(sector, *from)};
        }
    }
    return {FailureReason::ContentDiffers, 0,
            "at " + GroupedNumber(at) + " bytes, " + std::to_string(at * 100 / m_card.length) +
                " % of the card"};
}

Failure CardCompare::Expected(std::size_t size) {
    m_expected.assign(size, std::byte{0});
    const std::size_t want =
        m_offset < m_imageBytes ? std::min<std::uint64_t>(size, m_imageBytes - m_offset) : 0;
    std::size_t got = 0;
    if (Failure failure = ReadFull(m_image, m_expected.data(), want, got)) {
        return failure;
    }
    if (got < want) {
        return EndedSooner();
    }
    Overlay(m_expected, m_offset, m_head, 0);
    if (!m_fit.backup.empty()) {
        Overlay(m_expected, m_offset, m_fit.backup, m_fit.backupAt);
    }
    return {};
}

Failure CardCompare::SkipTo(std::uint64_t offset) {
    const std::uint64_t want = std::min(offset, m_imageBytes) - std::min(m_offset, m_imageBytes);
    std::uint64_t skipped = 0;
    if (Failure failure = m_image.Skip(want, skipped)) {
        return failure;
    }
    if (skipped < want) {
        return EndedSooner();
    }
    m_offset = offset;
    return {};
}

Failure CardCompare::Compare(std::uint64_t offset, const std::byte* data, std::size_t size) {
    if (offset > m_offset) {
        if (Failure failure = SkipTo(offset)) {
            return failure;
        }
    }
    if (Failure failure = Expected(size)) {
        return failure;
    }
    for (std::size_t block = 0; block < size; block += kHoleBlock) {
        const std::size_t length = std::min(kHoleBlock, size - block);
        const std::byte* const expected = m_expected.data() + block;
        const bool written = m_offset + block < kTableArea ||
                             ((!m_skipEmpty || !IsZero(expected, length)) &&
                              (m_map == nullptr || m_map->Maps(m_offset + block, length)));
        if (!written) {
            continue;
        }
        const auto differs = std::mismatch(data + block, data + block + length, expected);
        if (differs.first != data + block + length) {
            return Differs(m_offset + static_cast<std::uint64_t>(differs.first - data), data);
        }
    }
    m_offset += size;
    return {};
}

}  // namespace imaging
