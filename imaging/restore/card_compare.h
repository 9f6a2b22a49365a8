#pragma once

#include <cstdint>
#include <vector>

#include "image/image_sink.h"
#include "layout/partition_layout.h"
#include "restore/image_source.h"

namespace imaging {

// The verify of a restore: takes the card's bytes, read back from the card, in order, and
// compares each with what was written there: the image decoded once more, with the table as it
// was fitted to the card. ContentDiffers names the first byte that differs and how far into the
// card it lies, the mark of a card that holds less than it says or has worn out.
class CardCompare : public StreamSink {
public:
    // With `skipEmpty`, the image's empty blocks were not written: the card's are not compared.
    CardCompare(ImageSource& image, const std::vector<std::byte>& head, const CardTable& fit,
                std::uint64_t cardLength, bool skipEmpty)
        : m_image(image),
          m_head(head),
          m_fit(fit),
          m_cardLength(cardLength),
          m_skipEmpty(skipEmpty) {}

    error::Failure Finish() override { return {}; }
    error::Failure FileSha256(std::string& hex) override {
        hex.clear();
        return {};
    }

protected:
    error::Failure Write(const std::byte* data, std::size_t size) override;

private:
    // The bytes written at [m_offset, m_offset + size) into m_expected.
    error::Failure Expected(std::size_t size);

    ImageSource& m_image;
    const std::vector<std::byte>& m_head;
    const CardTable& m_fit;
    std::uint64_t m_cardLength;
    bool m_skipEmpty;
    std::uint64_t m_offset = 0;
    std::vector<std::byte> m_expected;
};

}  // namespace imaging
