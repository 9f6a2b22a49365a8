#pragma once

#include <string>

#include "failure.h"
#include "image/image_format.h"

namespace imaging {

// The form of the image file at `path`, told by its first bytes: xz, zip, bzip2, zstd and gzip by
// their magic numbers, anything else raw. A file whose name promises a compressed form (".xz",
// ".zip", ".bz2", ".zst", ".gz") and whose first bytes are none of them is ImageDamaged: a
// compressed file with a damaged header is never written raw. `note` says where the name and
// the content disagree: "named .zst, but holds gzip data". ImageRefused where it cannot be read.
error::Failure FormOfImage(const std::string& path, ImageFormat& format, std::string& note);

}  // namespace imaging
