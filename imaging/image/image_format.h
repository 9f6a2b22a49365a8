#pragma once

#include <string>

namespace imaging {

// How the drive's bytes are stored in the image file. Imaging writes raw, zstd and gzip, chosen
// by the file's name; a restore also reads what downloads come as: xz, zip and bzip2.
enum class ImageFormat { Raw, Zstd, Gzip, Xz, Zip, Bzip2 };

// The form imaging writes: ".zst" is zstd, ".gz" gzip (in any case of letters); any other name
// is a raw image.
ImageFormat FormatOfName(const std::string& path);

// True when `path` ends in `suffix`, in any case of letters; `suffix` is lowercase.
bool NameEndsWith(const std::string& path, const std::string& suffix);

// "raw", "zstd", "gzip", "xz", "zip", "bzip2".
const char* FormatName(ImageFormat format);

}  // namespace imaging
