#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "drive_handle.h"
#include "image/block_map.h"
#include "image/image_sink.h"
#include "io_queue.h"
#include "write/depth_writer.h"

namespace imaging {

// The card a restore writes, open for writing straight to it (whole sectors from aligned
// memory), its length and its sectors' size.
struct CardToWrite {
    drive::DriveHandle direct{};
    std::uint64_t length = 0;
    std::size_t sectorSize = 512;
};

// Where a restore's buffers go: the card, with several writes in flight. The table area is kept
// back, for the caller to write last, once everything else is on the card. Nothing past the
// card's end is written; the image may hold something there only past its last partition
// (`partitionsEnd`, 0 where unknown), else ImageTooLarge.
class CardWriter : public ImageSink {
public:
    // With `skipEmpty`, all-zero blocks are not written: the card keeps what it held there; with
    // a block `map`, only the blocks it maps are.
    CardWriter(const CardToWrite& card, std::uint64_t partitionsEnd, bool skipEmpty,
               const BlockMap* map, StageTimes* times);
    error::Failure Take(DriveBuffer& buffer, const Released& released) override;
    bool Holding() const override { return m_writer.Holding(); }
    error::Failure ReleaseOldest(const Released& released) override {
        return m_writer.ReleaseOldest(released);
    }
    error::Failure Settle(const Released& released) override { return m_writer.Settle(released); }
    error::Failure Finish() override { return {}; }
    error::Failure FileSha256(std::string& hex) override {
        hex.clear();
        return {};
    }
    const io::QueueChoice* Queue() const override { return &m_choice; }

    // The image's first bytes, up to the table area's end, as they came.
    std::vector<std::byte>& Head() { return m_head; }
    // Whether any of the image's bytes past the card's end, left out, was not zero.
    bool PastCardEndHeldData() const { return m_pastEndData; }
    // The empty blocks not written.
    std::uint64_t LeftAsItWas() const { return m_writer.LeftOut(); }

private:
    CardToWrite m_card;
    std::uint64_t m_partitionsEnd;
    io::QueueChoice m_choice;
    std::unique_ptr<io::Queue> m_queue;
    DepthWriter m_writer;
    std::vector<std::byte> m_head;
    bool m_pastEndData = false;
};

}  // namespace imaging
