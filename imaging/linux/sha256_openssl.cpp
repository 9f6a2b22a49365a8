#include <openssl/evp.h>

#include "sha256.h"

namespace imaging {

struct Sha256::State {
    struct ContextDeleter {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, ContextDeleter> context{EVP_MD_CTX_new()};
    bool failed = false;
};

Sha256::Sha256() : m_state(std::make_unique<State>()) {
    m_state->failed =
        !m_state->context || EVP_DigestInit_ex(m_state->context.get(), EVP_sha256(), nullptr) != 1;
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, std::size_t size) {
    if (!m_state->failed) {
        m_state->failed = EVP_DigestUpdate(m_state->context.get(), data, size) != 1;
    }
}

drive::Failure Sha256::Finish(std::string& hex) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (m_state->failed || EVP_DigestFinal_ex(m_state->context.get(), digest, &size) != 1) {
        return {drive::FailureReason::ChecksumFailed, 0, "SHA-256 of OpenSSL"};
    }
    hex = HexOf(digest, size);
    return {};
}

}  // namespace imaging
