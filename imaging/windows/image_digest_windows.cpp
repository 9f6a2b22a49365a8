// bcrypt.h needs windows.h before it.
#include <windows.h>

#include <bcrypt.h>

#include "image_digest.h"

namespace imaging {

// The platform's own SHA-256, fed each chunk as the worker writes it.
struct ImageDigest::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool failed = false;
    std::uint64_t hashed = 0;
};

ImageDigest::ImageDigest(const ImageFile& /*image*/) : m_state(std::make_unique<State>()) {
    if (::BCryptOpenAlgorithmProvider(&m_state->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) <
            0 ||
        ::BCryptCreateHash(m_state->algorithm, &m_state->hash, nullptr, 0, nullptr, 0, 0) < 0) {
        m_state->hash = nullptr;
    }
}

ImageDigest::~ImageDigest() {
    if (m_state->hash != nullptr) {
        ::BCryptDestroyHash(m_state->hash);
    }
    if (m_state->algorithm != nullptr) {
        ::BCryptCloseAlgorithmProvider(m_state->algorithm, 0);
    }
}

bool ImageDigest::IsReady() const {
    return m_state->hash != nullptr;
}

void ImageDigest::Written(const void* data, std::size_t size, std::uint64_t /*lengthAfter*/) {
    auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    m_state->failed |= ::BCryptHashData(m_state->hash, bytes, static_cast<ULONG>(size), 0) < 0;
    m_state->hashed += size;
}

void ImageDigest::WaitHashed(std::uint64_t /*length*/) {}

std::string ImageDigest::Finish(std::uint64_t length) {
    UCHAR digest[32];
    if (m_state->hash == nullptr || m_state->failed || m_state->hashed != length ||
        ::BCryptFinishHash(m_state->hash, digest, sizeof digest, 0) < 0) {
        return {};
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (const UCHAR byte : digest) {
        hex += kHex[byte >> 4];
        hex += kHex[byte & 15];
    }
    return hex;
}

}  // namespace imaging
