#pragma once

#include <string>

namespace imaging {

// How the drive's bytes are stored in the image file, chosen by the file's name.
enum class ImageFormat { Raw, Zstd, Gzip };

// ".zst" is zstd, ".gz" gzip (in any case of letters); any other name is a raw image.
ImageFormat FormatOfName(const std::string& path);

// "raw", "zstd", "gzip".
const char* FormatName(ImageFormat format);

}  // namespace imaging
