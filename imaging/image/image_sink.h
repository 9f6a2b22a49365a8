#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "failure.h"
#include "image/image_file.h"
#include "image/image_format.h"
#include "read/digest.h"

namespace imaging {

// Where the drive's bytes go, in order, and in what form. It knows nothing of the drive or of the
// digest of the drive's bytes.
class ImageSink {
public:
    ImageSink() = default;
    ImageSink(const ImageSink&) = delete;
    ImageSink& operator=(const ImageSink&) = delete;
    virtual ~ImageSink() = default;

    virtual error::Failure Write(const std::byte* data, std::size_t size) = 0;

    // After the last Write: what the sink still holds back goes to the file.
    virtual error::Failure Finish() = 0;

    // After Finish: the SHA-256 of the file's own bytes where they are not the drive's (a
    // compressed image); empty where the file holds the drive's bytes as they are.
    virtual error::Failure FileSha256(std::string& hex) = 0;
};

// The sink for `format` over `image`, for a drive of `driveLength` bytes.
error::Failure OpenSink(ImageFormat format, ImageFile& image, std::uint64_t driveLength,
                        std::unique_ptr<ImageSink>& sink);

// A raw image: the drive's bytes as they are. Runs of all-zero blocks become holes where the file
// system keeps them, so an image is as large on the disk as the data on the card.
class RawImageSink : public ImageSink {
public:
    explicit RawImageSink(ImageFile& image) : m_image(image) {}
    error::Failure Write(const std::byte* data, std::size_t size) override;
    error::Failure Finish() override { return {}; }
    error::Failure FileSha256(std::string& hex) override {
        hex.clear();
        return {};
    }

private:
    ImageFile& m_image;
};

// What a compressor emits, hashed and then written to the image file.
class CompressedOutput {
public:
    explicit CompressedOutput(ImageFile& image);
    error::Failure Put(const void* data, std::size_t size);
    error::Failure FileSha256(std::string& hex) { return m_digest.Finish(hex); }

    // Room for what the compressor emits at once.
    std::vector<unsigned char>& Buffer() { return m_buffer; }

private:
    ImageFile& m_image;
    Digest m_digest;
    std::vector<unsigned char> m_buffer;
};

}  // namespace imaging
