#pragma once

#include <array>
#include <memory>
#include <string>

#include "failure.h"
#include "image/image_format.h"
#include "restore/image_source.h"

namespace imaging {

// The passes of a restore that read its whole image from the first byte: the count of a form
// whose file does not tell its length, the write, and the verify's compare.
enum class SharedPass { Count, Write, Verify };

// The decoded bytes one pass's readers share.
class DecodedWindow;

// One compressed image decoded once for the several cards a batch writes it onto. Each card's
// pass reads through a source of its own, at its own offset; what the card ahead has decoded
// stays in a window for the others, so cards that keep together decode the image once between
// them, and none ever waits for a slower one: the window lets go of its oldest bytes as the card
// ahead needs room. A card whose next bytes have left the window goes on with a decoder of its
// own, skipped to where it was. A damaged image fails every card that reaches the damage.
class SharedDecode {
public:
    explicit SharedDecode(std::string path);
    ~SharedDecode();
    SharedDecode(const SharedDecode&) = delete;
    SharedDecode& operator=(const SharedDecode&) = delete;

    // A source for `pass` of one card, over the image in `format`, from its first byte.
    error::Failure Open(SharedPass pass, ImageFormat format, std::unique_ptr<ImageSource>& source);

    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    std::array<std::shared_ptr<DecodedWindow>, 3> m_windows;  // one a pass
};

}  // namespace imaging
