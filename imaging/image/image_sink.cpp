#include "image/image_sink.h"

#include <algorithm>
#include <cstring>

#include "image/compressed_sinks.h"

namespace imaging {

using error::Failure;

namespace {

// What a compressor may emit at once before it is written out.
constexpr std::size_t kCompressedBuffer = 1 << 20;

}  // namespace

Failure OpenSink(ImageFormat format, ImageFile& image, std::uint64_t driveLength,
                 std::unique_ptr<ImageSink>& sink) {
    switch (format) {
        case ImageFormat::Zstd:
            return OpenZstdSink(image, driveLength, sink);
        case ImageFormat::Gzip:
            return OpenGzipSink(image, sink);
        case ImageFormat::Raw:
            break;
    }
    sink = std::make_unique<RawImageSink>(image);
    return {};
}

// Block by block, each run of zero blocks skipped at once and each run of data written at once.
Failure RawImageSink::Write(const std::byte* data, std::size_t size) {
    std::size_t at = 0;
    while (at < size) {
        const bool zero = IsZero(data + at, std::min(kHoleBlock, size - at));
        std::size_t end = at;
        while (end < size && IsZero(data + end, std::min(kHoleBlock, size - end)) == zero) {
            end += std::min(kHoleBlock, size - end);
        }
        if (Failure failure = zero ? m_image.Skip(end - at) : m_image.Write(data + at, end - at)) {
            return failure;
        }
        at = end;
    }
    return {};
}

CompressedOutput::CompressedOutput(ImageFile& image)
    : m_image(image), m_buffer(kCompressedBuffer) {}

Failure CompressedOutput::Put(const void* data, std::size_t size) {
    m_digest.Update(data, size);
    return m_image.Write(data, size);
}

}  // namespace imaging
