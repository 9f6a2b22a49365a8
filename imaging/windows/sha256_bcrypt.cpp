// bcrypt.h needs windows.h before it.
#include <windows.h>

#include <bcrypt.h>

#include "sha256.h"

namespace imaging {

struct Sha256::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool failed = false;
};

Sha256::Sha256() : m_state(std::make_unique<State>()) {
    if (::BCryptOpenAlgorithmProvider(&m_state->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) <
            0 ||
        ::BCryptCreateHash(m_state->algorithm, &m_state->hash, nullptr, 0, nullptr, 0, 0) < 0) {
        m_state->failed = true;
    }
}

Sha256::~Sha256() {
    if (m_state->hash != nullptr) {
        ::BCryptDestroyHash(m_state->hash);
    }
    if (m_state->algorithm != nullptr) {
        ::BCryptCloseAlgorithmProvider(m_state->algorithm, 0);
    }
}

void Sha256::Update(const void* data, std::size_t size) {
    if (!m_state->failed) {
        auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
        m_state->failed = ::BCryptHashData(m_state->hash, bytes, static_cast<ULONG>(size), 0) < 0;
    }
}

drive::Failure Sha256::Finish(std::string& hex) {
    UCHAR digest[32];
    if (m_state->failed || ::BCryptFinishHash(m_state->hash, digest, sizeof digest, 0) < 0) {
        return {drive::FailureReason::ChecksumFailed, 0, "SHA-256 of CNG"};
    }
    hex = HexOf(digest, sizeof digest);
    return {};
}

}  // namespace imaging
