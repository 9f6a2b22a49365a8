#pragma once

#include <cstdint>
#include <memory>

#include "image/image_sink.h"

namespace imaging {

// zstd: one frame with the drive's length as its pledged size and a content checksum, so
// `zstd -t` proves the file by itself.
error::Failure OpenZstdSink(ImageFile& image, std::uint64_t driveLength,
                            std::unique_ptr<ImageSink>& sink);

// gzip: one member, as gzip and zcat read it.
error::Failure OpenGzipSink(ImageFile& image, std::unique_ptr<ImageSink>& sink);

}  // namespace imaging
