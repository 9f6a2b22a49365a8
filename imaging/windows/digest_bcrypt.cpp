// bcrypt.h needs windows.h before it.
#include <windows.h>

#include <bcrypt.h>

#include "read/digest.h"

namespace imaging {

namespace {

LPCWSTR Algorithm(HashKind kind) {
    switch (kind) {
        case HashKind::Md5:
            return BCRYPT_MD5_ALGORITHM;
        case HashKind::Sha1:
            return BCRYPT_SHA1_ALGORITHM;
        case HashKind::Sha256:
            break;
    }
    return BCRYPT_SHA256_ALGORITHM;
}

}  // namespace

struct Digest::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool failed = false;

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() {
        if (hash != nullptr) {
            ::BCryptDestroyHash(hash);
        }
        if (algorithm != nullptr) {
            ::BCryptCloseAlgorithmProvider(algorithm, 0);
        }
    }
};

Digest::Digest(HashKind kind) : m_kind(kind), m_state(std::make_unique<State>()) {
    if (::BCryptOpenAlgorithmProvider(&m_state->algorithm, Algorithm(kind), nullptr, 0) < 0 ||
        ::BCryptCreateHash(m_state->algorithm, &m_state->hash, nullptr, 0, nullptr, 0, 0) < 0) {
        m_state->failed = true;
    }
}

Digest::~Digest() = default;
Digest::Digest(Digest&&) noexcept = default;
Digest& Digest::operator=(Digest&&) noexcept = default;

void Digest::Update(const void* data, std::size_t size) {
    if (!m_state->failed) {
        auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
        m_state->failed = ::BCryptHashData(m_state->hash, bytes, static_cast<ULONG>(size), 0) < 0;
    }
}

error::Failure Digest::Finish(std::string& hex) {
    UCHAR digest[32];
    DWORD size = 0;
    DWORD returned = 0;
    if (m_state->failed ||
        ::BCryptGetProperty(m_state->hash, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&size),
                            sizeof size, &returned, 0) < 0 ||
        size > sizeof digest || ::BCryptFinishHash(m_state->hash, digest, size, 0) < 0) {
        return {error::FailureReason::ChecksumFailed, 0, std::string(HashName(m_kind)) + " of CNG"};
    }
    hex = HexOf(digest, size);
    return {};
}

}  // namespace imaging
