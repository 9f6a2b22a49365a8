#include "restore/card_writer.h"

#include <algorithm>

#include "image/image_file.h"
#include "outcome/numbers.h"
#include "restore/image_facts.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

namespace {

// 4 MiB writes, 8 in flight, straight to the card: a card's controller takes the next write
// while it programs the last; see kRunBufferSize in stage/buffer_ring.h for the disk's figures.
constexpr std::size_t kCardDepth = 8;

}  // namespace

namespace {

WriteTarget CardTarget(const CardToWrite& card, bool skipEmpty, const BlockMap* map) {
    WriteTarget target{card.direct, card.sectorSize, card.direct, skipEmpty,
                       kTableArea,  card.length,     {}};
    if (map != nullptr) {
        target.mapped = [map](std::uint64_t offset, std::size_t size) {
            return map->Maps(offset, size);
        };
    }
    return target;
}

}  // namespace

CardWriter::CardWriter(const CardToWrite& card, std::uint64_t partitionsEnd, bool skipEmpty,
                       const BlockMap* map, StageTimes* times)
    : m_card(card),
      m_partitionsEnd(partitionsEnd),
      m_queue(io::OpenQueue(kCardDepth, m_choice)),
      m_writer(*m_queue, CardTarget(card, skipEmpty, map), times) {}

Failure CardWriter::Take(DriveBuffer& buffer, const Released& released) {
    const std::byte* const data = buffer.bytes.get();
    if (buffer.offset < kTableArea) {
        const std::size_t take = std::min<std::uint64_t>(buffer.length, kTableArea - buffer.offset);
        m_head.insert(m_head.end(), data, data + take);
    }
    const std::uint64_t end = buffer.offset + buffer.length;
    if (end > m_card.length) {
        const std::uint64_t from = std::max(buffer.offset, m_card.length);
        // Past the last partition lies nothing the card needs; before it, only zeros may be cut.
        const bool needed = m_partitionsEnd == 0 || m_partitionsEnd > m_card.length;
        const std::size_t at = from - buffer.offset;
        const std::byte* const dataEnd = data + buffer.length;
        const std::byte* const nonZero =
            std::find_if(data + at, dataEnd, [](std::byte b) { return b != std::byte{0}; });
        m_pastEndData = m_pastEndData || nonZero != dataEnd;
        if (needed && nonZero != dataEnd) {
            released(&buffer, false);
            return {FailureReason::ImageTooLarge, 0,
                    "the image holds data past the card's end, at byte " +
                        GroupedNumber(buffer.offset + static_cast<std::uint64_t>(nonZero - data))};
        }
    }
    // The image's last sector, where it ends within one, is filled up with zeros: the card
    // takes whole sectors only.
    if (const std::size_t part = buffer.length % m_card.sectorSize; part != 0) {
        const std::size_t pad = m_card.sectorSize - part;
        std::fill_n(buffer.bytes.get() + buffer.length, pad, std::byte{0});
        buffer.length += pad;
    }
    return m_writer.Put(buffer, released);
}

}  // namespace imaging
