#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "failure.h"
#include "image/target_folder.h"
#include "restore/image_source.h"

namespace imaging {

// What is read of a compressed file at once.
inline constexpr std::size_t kFileChunk = 1 << 20;

// The compressed file, read a chunk at a time for a decompressor.
class CompressedInput {
public:
    CompressedInput(ImageHandle file, std::uint64_t length)
        : m_file(std::move(file)), m_length(length), m_chunk(kFileChunk) {}

    // The next chunk when the last is used up; `ended` once the file has no more.
    error::Failure Refill(bool& ended) {
        std::size_t got = 0;
        if (error::Failure failure = ReadSome(m_file, m_chunk.data(), m_chunk.size(), got)) {
            return {error::FailureReason::ReadError, failure.error, "reading the image"};
        }
        m_size = got;
        m_used = 0;
        m_read += got;
        ended = got == 0;
        return {};
    }
    const std::byte* Next() const { return m_chunk.data() + m_used; }
    std::size_t Left() const { return m_size - m_used; }
    void Use(std::size_t bytes) { m_used += bytes; }
    std::uint64_t FileLength() const { return m_length; }
    std::uint64_t FileRead() const { return m_read; }

private:
    ImageHandle m_file;
    std::uint64_t m_length;
    std::uint64_t m_read = 0;
    std::vector<std::byte> m_chunk;
    std::size_t m_size = 0;
    std::size_t m_used = 0;
};

// An image source that decodes a compressed file read through a CompressedInput.
class CompressedSource : public ImageSource {
public:
    CompressedSource(ImageHandle file, std::uint64_t length) : m_input(std::move(file), length) {}
    std::uint64_t FileLength() const override { return m_input.FileLength(); }
    std::uint64_t FileRead() const override { return m_input.FileRead(); }

protected:
    // Input for the decoder, refilled once used up; `atEnd` when the file has no more. A stream
    // the decoder still has open there was cut short: ImageDamaged "`form`: the file ends early".
    error::Failure NeedInput(bool streamOpen, const char* form, bool& atEnd) {
        atEnd = false;
        if (m_input.Left() > 0) {
            return {};
        }
        bool ended = false;
        if (error::Failure failure = m_input.Refill(ended)) {
            return failure;
        }
        if (ended && streamOpen) {
            return {error::FailureReason::ImageDamaged, 0,
                    std::string(form) + ": the file ends early"};
        }
        atEnd = ended;
        return {};
    }

    CompressedInput m_input;
};

}  // namespace imaging
