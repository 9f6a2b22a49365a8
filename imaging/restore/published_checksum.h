#pragma once

#include <optional>
#include <string>

#include "read/digest.h"

namespace imaging {

// A checksum the image's publisher gave for it: of the file as downloaded (what IMAGE.sha256
// beside an .img.xz gives), or of the image it decodes to.
struct PublishedChecksum {
    HashKind kind = HashKind::Sha256;
    std::string hex;     // lowercase
    std::string source;  // the checksum file's name, or "--expect-sha256"
    bool ofContent = false;
};

// The checksum published beside the image at `path`, found as people publish them, in this order:
// IMAGE.sha256, IMAGE.sha256sum, IMAGE.sha (Armbian), IMAGE.sha1, IMAGE.md5; the same with the
// image's last extension removed; SHA256SUMS, SHA256SUMS.txt, sha256sum.txt in its folder. A
// file counts where it has a line naming the image (as sha256sum writes it, text or binary
// mode), which then covers the file, or naming what it decodes to (the name without its last
// extension), which then covers the content; a file of one hash and no name covers what its
// own name says. `expectedSha256`, given by hand, comes before all of them. None where nothing
// is found.
std::optional<PublishedChecksum> FindPublishedChecksum(const std::string& path,
                                                       const std::string& expectedSha256);

// "the SHA-256 in card.img.xz.sha256, of the file as downloaded".
std::string DescribeChecksum(const PublishedChecksum& checksum);

// "SHA-256", "SHA-1", "MD5".
const char* ChecksumName(HashKind kind);

}  // namespace imaging
