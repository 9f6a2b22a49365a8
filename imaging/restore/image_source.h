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
// compressed one (zstd, gzip, xz, bzip2, a zip's image) decompressed. A compressed image proves
// itself at its end at the latest (zstd's frame checksum, gzip's CRC and length, xz's block
// checks, bzip2's CRCs, the zip member's CRC): a damaged one fails ImageDamaged.
class ImageSource {
public:
    ImageSource() = default;
    ImageSource(const ImageSource&) = delete;
    ImageSource& operator=(const ImageSource&) = delete;
    virtual ~ImageSource() = default;

    // Up to `size` of the next bytes; `got` 0 at the image's end.
    virtual error::Failure Read(std::byte* data, std::size_t size, std::size_t& got) = 0;

    // Passes over the next `bytes`, up to the image's end, without handing them out: a raw file
    // moves its position, a compressed one decodes them all the same. `skipped`: how many.
    virtual error::Failure Skip(std::uint64_t bytes, std::uint64_t& skipped);

    // The drive's bytes the image holds, where the file tells it ahead: a raw file's length, the
    // content sizes of a zstd file's frames; none for gzip, whose length field keeps only 32
    // bits.
    virtual std::optional<std::uint64_t> Length() const = 0;

    // The file's own length in bytes, and how many of them have been read so far.
    virtual std::uint64_t FileLength() const = 0;
    virtual std::uint64_t FileRead() const = 0;

    // The member of an archive the image is, where it is one ("2024-raspios.img" in a zip).
    virtual std::string Inside() const { return {}; }
};

// Opens the image at `path` in `format`. ImageRefused where it is not a regular file that can be
// read. A raw image is read around the page cache unless it is `shared` by several readers.
error::Failure OpenImageSource(const std::string& path, ImageFormat format,
                               std::unique_ptr<ImageSource>& source, bool shared = false);

// Fills `data` whole from `source`, short only at the image's end.
error::Failure ReadFull(ImageSource& source, std::byte* data, std::size_t size, std::size_t& got);

}  // namespace imaging
