#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "image/block_map.h"
#include "layout/partition_layout.h"
#include "restore/card_writer.h"
#include "restore/image_source.h"
#include "stage/sink.h"

namespace imaging {

// The verify of a restore: takes the card's bytes, read back from the card, in order (all of
// them, or the ranges that were written), and compares each with what was written there: the image
// decoded once more, with the table as it was fitted to the card, and zeros from the image's end to
// its last sector's. ContentDiffers names the first byte that differs and how far into the card it
// lies; where the card returns there a sector the image holds at another offset, it wraps as a fake
// card does: CardHoldsLess, which names that offset.
class CardCompare : public ImageSink {
public:
    // With `skipEmpty`, the image's empty blocks were not written: the card's are not compared.
    // `imageBytes`: how many of the image's bytes were written.
    // With a block `map`, only the blocks it maps were written, and only they are compared.
    // `cancelled` ends the search for where a fake card's bytes came from, which reads the rest
    // of the image.
    CardCompare(ImageSource& image, std::uint64_t imageBytes, const std::vector<std::byte>& head,
                const CardTable& fit, const CardToWrite& card, bool skipEmpty, const BlockMap* map,
                std::function<bool()> cancelled)
        : m_image(image),
          m_imageBytes(imageBytes),
          m_head(head),
          m_fit(fit),
          m_card(card),
          m_skipEmpty(skipEmpty),
          m_map(map),
          m_cancelled(std::move(cancelled)) {}

    error::Failure Take(DriveBuffer& buffer, const Released& released) override {
        const error::Failure failure = Compare(buffer.offset, buffer.bytes.get(), buffer.length);
        released(&buffer, !failure);
        return failure;
    }
    error::Failure Finish() override { return {}; }
    error::Failure FileSha256(std::string& hex) override {
        hex.clear();
        return {};
    }

private:
    error::Failure Compare(std::uint64_t offset, const std::byte* data, std::size_t size);
    // The image passed over up to `offset`.
    error::Failure SkipTo(std::uint64_t offset);
    // The bytes written at [m_offset, m_offset + size) into m_expected.
    error::Failure Expected(std::size_t size);

    error::Failure Differs(std::uint64_t at, const std::byte* data);
    std::optional<std::uint64_t> FindInImage(const std::byte* sector, std::uint64_t at);

    ImageSource& m_image;
    std::uint64_t m_imageBytes;
    const std::vector<std::byte>& m_head;
    const CardTable& m_fit;
    const CardToWrite& m_card;
    bool m_skipEmpty;
    const BlockMap* m_map;
    std::function<bool()> m_cancelled;
    std::uint64_t m_offset = 0;
    std::vector<std::byte> m_expected;
};

}  // namespace imaging
