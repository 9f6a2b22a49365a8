#include "image/image_format.h"

#include <algorithm>
#include <cctype>

namespace imaging {

bool NameEndsWith(const std::string& path, const std::string& suffix) {
    return path.size() > suffix.size() &&
           std::equal(suffix.rbegin(), suffix.rend(), path.rbegin(), [](char a, char b) {
               return a == std::tolower(static_cast<unsigned char>(b));
           });
}

ImageFormat FormatOfName(const std::string& path) {
    if (NameEndsWith(path, ".zst")) {
        return ImageFormat::Zstd;
    }
    if (NameEndsWith(path, ".gz")) {
        return ImageFormat::Gzip;
    }
    return ImageFormat::Raw;
}

const char* FormatName(ImageFormat format) {
    switch (format) {
        case ImageFormat::Raw:
            return "raw";
        case ImageFormat::Zstd:
            return "zstd";
        case ImageFormat::Gzip:
            return "gzip";
        case ImageFormat::Xz:
            return "xz";
        case ImageFormat::Zip:
            return "zip";
        case ImageFormat::Bzip2:
            return "bzip2";
    }
    return "raw";
}

}  // namespace imaging
