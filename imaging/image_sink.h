#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "digest.h"
#include "failure.h"
#include "image_file.h"
#include "image_format.h"

namespace imaging {

// Where the drive's bytes go, in order, and in what form. It knows nothing of the drive or of the
// digest of the drive's bytes.
class ImageSink {
public:
    ImageSink() = default;
    ImageSink(const ImageSink&) = delete;
    ImageSink& operator=(const ImageSink&) = delete;
    virtual ~ImageSink() = default;

    virtual drive::Failure Write(const std::byte* data, std::size_t size) = 0;

    // After the last Write: what the sink still holds back goes to the file.
    virtual drive::Failure Finish() = 0;

    // After Finish: the SHA-256 of the file's own bytes where they are not the drive's (a
    // compressed image); empty where the file holds the drive's bytes as they are.
    virtual drive::Failure FileSha256(std::string& hex) = 0;
};

// The sink for `format` over `image`, for a drive of `driveLength` bytes.
drive::Failure OpenSink(ImageFormat format, ImageFile& image, std::uint64_t driveLength,
                        std::unique_ptr<ImageSink>& sink);

// A raw image: the drive's bytes as they are. Runs of all-zero blocks become holes where the file
// system keeps them, so an image is as large on the disk as the data on the card.
class RawImageSink : public ImageSink {
public:
    explicit RawImageSink(ImageFile& image) : m_image(image) {}
    drive::Failure Write(const std::byte* data, std::size_t size) override;
    drive::Failure Finish() override { return {}; }
    drive::Failure FileSha256(std::string& hex) override {
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
    drive::Failure Put(const void* data, std::size_t size);
    drive::Failure FileSha256(std::string& hex) { return m_digest.Finish(hex); }

    // Room for what the compressor emits at once.
    std::vector<unsigned char>& Buffer() { return m_buffer; }

private:
    ImageFile& m_image;
    Digest m_digest;
    std::vector<unsigned char> m_buffer;
};

}  // namespace imaging
