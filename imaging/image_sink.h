#pragma once

#include <cstddef>

#include "failure.h"
#include "image_file.h"

namespace imaging {

// Where the drive's bytes go, in order. It knows nothing of the digest or the drive.
class ImageSink {
public:
    ImageSink() = default;
    ImageSink(const ImageSink&) = delete;
    ImageSink& operator=(const ImageSink&) = delete;
    virtual ~ImageSink() = default;

    virtual drive::Failure Write(const std::byte* data, std::size_t size) = 0;
};

// A raw image: the drive's bytes as they are, written to the image file.
class RawImageSink : public ImageSink {
public:
    explicit RawImageSink(ImageFile& image) : m_image(image) {}
    drive::Failure Write(const std::byte* data, std::size_t size) override {
        return m_image.Write(data, size);
    }

private:
    ImageFile& m_image;
};

}  // namespace imaging
