#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "failure.h"

namespace imaging {

// The hashes a run can take of the drive's content. SHA-256 is always taken; MD5 and SHA-1 on
// request, for archives and forensic records that ask for them beside it.
enum class HashKind { Md5, Sha1, Sha256 };

// "md5", "sha1", "sha256": the name in the tools' own (md5sum, sha1sum, sha256sum) and in the
// suffix of the checksum file.
const char* HashName(HashKind kind);

// A digest's kind and its value in lowercase hex.
struct NamedDigest {
    HashKind kind = HashKind::Sha256;
    std::string hex;
    bool operator==(const NamedDigest&) const = default;
};

// A hash fed piece by piece, through the platform's own implementation (OpenSSL, which uses the
// CPU's SHA instructions; Windows' CNG).
class Digest {
public:
    explicit Digest(HashKind kind = HashKind::Sha256);
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;
    Digest(Digest&&) noexcept;
    Digest& operator=(Digest&&) noexcept;

    void Update(const void* data, std::size_t size);

    // The digest of everything fed, in lowercase hex. ChecksumFailed when hashing could not
    // start or a piece could not be hashed.
    error::Failure Finish(std::string& hex);

    HashKind Kind() const { return m_kind; }

private:
    struct State;
    HashKind m_kind;
    std::unique_ptr<State> m_state;
};

// Lowercase hex of `size` bytes.
std::string HexOf(const unsigned char* bytes, std::size_t size);

}  // namespace imaging
