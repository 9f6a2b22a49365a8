#include <openssl/evp.h>

#include "read/digest.h"

namespace imaging {

namespace {

const EVP_MD* Algorithm(HashKind kind) {
    switch (kind) {
        case HashKind::Md5:
            return EVP_md5();
        case HashKind::Sha1:
            return EVP_sha1();
        case HashKind::Sha256:
            break;
    }
    return EVP_sha256();
}

}  // namespace

struct Digest::State {
    struct ContextDeleter {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, ContextDeleter> context{EVP_MD_CTX_new()};
    bool failed = false;
};

Digest::Digest(HashKind kind) : m_kind(kind), m_state(std::make_unique<State>()) {
    m_state->failed = !m_state->context ||
                      EVP_DigestInit_ex(m_state->context.get(), Algorithm(kind), nullptr) != 1;
}

Digest::~Digest() = default;
Digest::Digest(Digest&&) noexcept = default;
Digest& Digest::operator=(Digest&&) noexcept = default;

void Digest::Update(const void* data, std::size_t size) {
    if (!m_state->failed) {
        m_state->failed = EVP_DigestUpdate(m_state->context.get(), data, size) != 1;
    }
}

error::Failure Digest::Finish(std::string& hex) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (m_state->failed || EVP_DigestFinal_ex(m_state->context.get(), digest, &size) != 1) {
        return {error::FailureReason::ChecksumFailed, 0,
                std::string(HashName(m_kind)) + " of OpenSSL"};
    }
    hex = HexOf(digest, size);
    return {};
}

}  // namespace imaging
