#pragma once

#include <array>

namespace imaging {

// The side files' suffixes: the checksum file, a rescue's map of unreadable areas, the record
// of where the image came from, and the checksum files of the extra hashes (".md5", ".sha1").
inline constexpr const char* kChecksumSuffix = ".sha256";
inline constexpr const char* kMapSuffix = ".map";
inline constexpr const char* kInfoSuffix = ".info";
inline constexpr const char* kBlockMapSuffix = ".bmap";
inline constexpr std::array<const char*, 6> kSideSuffixes = {
    kChecksumSuffix, kMapSuffix, kInfoSuffix, ".md5", ".sha1", kBlockMapSuffix};

}  // namespace imaging
