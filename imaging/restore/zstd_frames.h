#pragma once

#include <cstdint>
#include <optional>

#include "image/target_folder.h"

namespace imaging {

// The bytes the zstd file `file` (of `fileLength` bytes) decodes to: the content sizes of all its
// frames, one after another, added up, found from their headers alone. None where a frame does
// not record its size, or the file is no sound series of frames: it must then be decoded to tell.
std::optional<std::uint64_t> ZstdContentLength(const ImageHandle& file, std::uint64_t fileLength);

}  // namespace imaging
