#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "failure.h"

namespace imaging {

// A SHA-256 fed piece by piece, through the platform's own implementation (OpenSSL, which
// uses the CPU's SHA instructions; Windows' CNG).
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(const void* data, std::size_t size);

    // The digest of everything fed, in lowercase hex. ChecksumFailed when hashing could not
    // start or a piece could not be hashed.
    drive::Failure Finish(std::string& hex);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// Lowercase hex of `size` bytes.
std::string HexOf(const unsigned char* bytes, std::size_t size);

}  // namespace imaging
