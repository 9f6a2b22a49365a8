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
                 std::unique_ptr<ImageSink>& sink, StageTimes* times) {
    switch (format) {
        case ImageFormat::Zstd:
            return OpenZstdSink(image, driveLength, sink);
        case ImageFormat::Gzip:
            return OpenGzipSink(image, sink);
        // Imaging writes none of the forms downloads come in.
        case ImageFormat::Xz:
        case ImageFormat::Zip:
        case ImageFormat::Bzip2:
        case ImageFormat::Raw:
            break;
    }
    sink = std::make_unique<RawImageSink>(image, driveLength, times);
    return {};
}

namespace {

// 4 MiB writes, 8 in flight, around the page cache: see kRunBufferSize in stage/buffer_ring.h.
constexpr std::size_t kWriteDepth = 8;

// Direct writes must keep the disk's sectors; a file system block keeps every disk's.
constexpr std::size_t kDirectAlignment = 4096;

// Direct writes reach the disk, but its own cache still holds them until a flush: a flush every
// 256 MiB keeps the final one short (it waited 0.9 to 1.6 s for the host's cache here before).
constexpr std::uint64_t kFlushEvery = 256 << 20;

}  // namespace

RawImageSink::RawImageSink(ImageFile& image, std::uint64_t length, StageTimes* times)
    : m_image(image),
      m_length(length),
      m_times(times),
      m_queue(io::OpenQueue(kWriteDepth, m_choice)),
      m_writer(*m_queue,
               image.OpenDirectWrites(m_direct)
                   ? WriteTarget{m_direct.Get(),
                                 kDirectAlignment,
                                 image.Native(),
                                 true,
                                 0,
                                 UINT64_MAX,
                                 {}}
                   : WriteTarget{image.Native(), 1, image.Native(), true, 0, UINT64_MAX, {}},
               times) {}

Released RawImageSink::Written(const Released& released) {
    return [this, &released](DriveBuffer* buffer, bool written) {
        const std::uint64_t before = m_through;
        m_through = std::max(m_through, buffer->offset + buffer->length);
        released(buffer, written && !m_moving);
        if (m_moving || !written) {
            return;
        }
        if (m_direct.IsValid()) {
            if (before / kFlushEvery != m_through / kFlushEvery) {
                const TimedWait flushing(m_times, Wait::Flush);
                m_moving = m_image.FlushData();
            }
        } else {
            m_moving = m_image.KeepMoving(before, m_through);
        }
    };
}

Failure RawImageSink::Take(DriveBuffer& buffer, const Released& released) {
    const Failure failure = m_writer.Put(buffer, Written(released));
    return failure ? failure : m_moving;
}

Failure RawImageSink::ReleaseOldest(const Released& released) {
    const Failure failure = m_writer.ReleaseOldest(Written(released));
    return failure ? failure : m_moving;
}

Failure RawImageSink::Settle(const Released& released) {
    const Failure failure = m_writer.Settle(Written(released));
    return failure ? failure : m_moving;
}

Failure RawImageSink::Finish() {
    m_image.WrittenAt(m_length);
    return {};
}

CompressedOutput::CompressedOutput(ImageFile& image)
    : m_image(image), m_buffer(kCompressedBuffer) {}

Failure CompressedOutput::Put(const void* data, std::size_t size) {
    m_digest.Update(data, size);
    return m_image.Write(data, size);
}

}  // namespace imaging
