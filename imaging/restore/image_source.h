#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "failure.h"
#include "image/image_format.h"

namespace imaging {

// An image read back as the drive's bytes it holds, from the first on: a raw file as it is, a
// zstd or gzip file decompressed. A compressed image proves itself at its end (zstd's frame
// checksum, gzip's CRC and length): a damaged one fails ImageDamaged there at the latest.
class ImageSource {
public:
    ImageSource() = default;
    ImageSource(const ImageSource&) = delete;
    ImageSource& operator=(const ImageSource&) = delete;
    virtual ~ImageSource() = default;

    // Up to `size` of the next bytes; `got` 0 at the image's end.
    virtual error::Failure Read(std::byte* data, std::size_t size, std::size_t& got) = 0;

    // The drive's bytes the image holds, where the file tells it ahead: a raw file's length, the
    // content sizes of a zstd file's frames; none for gzip, whose length field keeps only 32
    // bits.
    virtual std::optional<std::uint64_t> Length() const = 0;

    // The file's own length in bytes, and how many of them have been read so far.
    virtual std::uint64_t FileLength() const = 0;
    virtual std::uint64_t FileRead() const = 0;
};

// Opens the image at `path` in `format`. ImageRefused where it is not a regular file that can be
// read.
error::Failure OpenImageSource(const std::string& path, ImageFormat format,
                               std::unique_ptr<ImageSource>& source);

// Fills `data` whole from `source`, short only at the image's end.
error::Failure ReadFull(ImageSource& source, std::byte* data, std::size_t size, std::size_t& got);

}  // namespace imaging
