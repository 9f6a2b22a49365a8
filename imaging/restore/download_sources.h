#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "failure.h"
#include "image/target_folder.h"
#include "restore/image_source.h"

namespace imaging {

// The forms system images are downloaded in, each opened from the image file `file` of `length`
// bytes. ImageDamaged where the file is not sound in its form, as far as opening it tells.

// xz: decoded on every core where the file has several blocks; its length from its index.
error::Failure OpenXzSource(ImageHandle file, std::uint64_t length,
                            std::unique_ptr<ImageSource>& source);

// bzip2, one stream after another; its length is not recorded.
error::Failure OpenBzip2Source(ImageHandle file, std::uint64_t length,
                               std::unique_ptr<ImageSource>& source);

// zip: the largest member whose name is that of a disk image, its length from the central
// directory. ImageRefused where no member is an image (naming what the zip holds), where that
// member is encrypted, or compressed in a way other than stored or deflate.
error::Failure OpenZipSource(const std::string& path, std::uint64_t length,
                             std::unique_ptr<ImageSource>& source);

}  // namespace imaging
