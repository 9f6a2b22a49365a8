#include "read/digest.h"

namespace imaging {

std::string HexOf(const unsigned char* bytes, std::size_t size) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        hex += kHex[bytes[i] >> 4];
        hex += kHex[bytes[i] & 15];
    }
    return hex;
}

const char* HashName(HashKind kind) {
    switch (kind) {
        case HashKind::Md5:
            return "md5";
        case HashKind::Sha1:
            return "sha1";
        case HashKind::Sha256:
            break;
    }
    return "sha256";
}

}  // namespace imaging
