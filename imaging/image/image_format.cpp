#include "image/image_format.h"

#include <algorithm>
#include <cctype>

namespace imaging {
namespace {

bool EndsWith(const std::string& path, const std::string& suffix) {
    return path.size() > suffix.size() &&
           std::equal(suffix.rbegin(), suffix.rend(), path.rbegin(), [](char a, char b) {
               return a == std::tolower(static_cast<unsigned char>(b));
           });
}

}  // namespace

ImageFormat FormatOfName(const std::string& path) {
    if (EndsWith(path, ".zst")) {
        return ImageFormat::Zstd;
    }
    if (EndsWith(path, ".gz")) {
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
    }
    return "raw";
}

}  // namespace imaging
