#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "image_file.h"

namespace imaging {

// The SHA-256 of the image, computed as the image is written, so the drive is read only once.
// Where the platform allows, the hashing runs beside the copy on the data the image's file
// already holds, and the copy never waits for it.
class ImageDigest {
public:
    explicit ImageDigest(const ImageFile& image);
    ~ImageDigest();
    ImageDigest(const ImageDigest&) = delete;
    ImageDigest& operator=(const ImageDigest&) = delete;

    // False when hashing could not start; Finish then answers "".
    bool IsReady() const;

    // After each write: the bytes just written, which end at `lengthAfter`.
    void Written(const void* data, std::size_t size, std::uint64_t lengthAfter);

    // Returns once the image's first `length` bytes are hashed, so they may leave the cache.
    void WaitHashed(std::uint64_t length);

    // The digest of the image's first `length` bytes in lowercase hex; "" when hashing failed.
    std::string Finish(std::uint64_t length);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace imaging
