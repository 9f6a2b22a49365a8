#include <lzma.h>

#include <array>
#include <optional>
#include <thread>
#include <vector>

#include "restore/compressed_input.h"
#include "restore/download_sources.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

namespace {

// What the decoder's threads may hold, beyond which it decodes on one: a block of the largest
// the distributions make (xz -9: 64 MiB dictionary, 192 MiB blocks) on each of a few cores; in a
// 32-bit process, whose whole address space is 2 GiB, a quarter of that.
constexpr std::uint64_t kThreadsMemory =
    sizeof(void*) >= 8 ? std::uint64_t{1} << 30 : std::uint64_t{256} << 20;

Failure XzFailure(lzma_ret code) {
    switch (code) {
        case LZMA_MEM_ERROR:
        case LZMA_MEMLIMIT_ERROR:
            return {FailureReason::ReadError, 0, "xz: not enough memory to decode it"};
        case LZMA_FORMAT_ERROR:
            return {FailureReason::ImageDamaged, 0, "xz: not an xz file"};
        case LZMA_OPTIONS_ERROR:
            return {FailureReason::ImageDamaged, 0, "xz: a form of xz this program cannot read"};
        case LZMA_BUF_ERROR:
            return {FailureReason::ImageDamaged, 0, "xz: the file ends early"};
        default:
            return {FailureReason::ImageDamaged, 0,
                    "xz: the file is damaged (its data or its integrity check)"};
    }
}

// The bytes the xz file decodes to, from the indexes of its streams: liblzma reads the file's
// ends and asks for the places it needs, so only a little of it is read.
Failure XzContentLength(const ImageHandle& file, std::uint64_t fileLength,
                        std::uint64_t& contentLength) {
    lzma_stream stream = LZMA_STREAM_INIT;
    lzma_index* index = nullptr;
    if (lzma_file_info_decoder(&stream, &index, UINT64_MAX, fileLength) != LZMA_OK) {
        return XzFailure(LZMA_MEM_ERROR);
    }
    std::vector<std::uint8_t> chunk(64 << 10);
    Failure failure;
    for (lzma_ret code = LZMA_OK; !failure;) {
        if (stream.avail_in == 0) {
            std::size_t got = 0;
            if (Failure read = ReadSome(file, chunk.data(), chunk.size(), got)) {
                failure = {FailureReason::ReadError, read.error, "reading the image"};
                break;
            }
            stream.next_in = chunk.data();
            stream.avail_in = got;
        }
        code = lzma_code(&stream, stream.avail_in == 0 ? LZMA_FINISH : LZMA_RUN);
        if (code == LZMA_SEEK_NEEDED) {
            stream.avail_in = 0;
            if (Failure seek = PositionAt(file, stream.seek_pos)) {
                failure = {FailureReason::ReadError, seek.error, "reading the image"};
            }
        } else if (code == LZMA_STREAM_END) {
            contentLength = lzma_index_uncompressed_size(index);
            break;
        } else if (code != LZMA_OK) {
            failure = XzFailure(code);
        }
    }
    lzma_index_end(index, nullptr);
    lzma_end(&stream);
    if (failure) {
        return failure;
    }
    return PositionAt(file, 0);
}

class XzSource : public CompressedSource {
public:
    XzSource(ImageHandle file, std::uint64_t length, std::uint64_t content)
        : CompressedSource(std::move(file), length), m_length(content) {}
    ~XzSource() override { lzma_end(&m_stream); }
    XzSource(const XzSource&) = delete;
    XzSource& operator=(const XzSource&) = delete;

    // Concatenated streams and the padding between them are one image, as xz -d reads them;
    // every block's integrity check is checked.
    Failure Start() {
        lzma_mt options{};
        options.flags = LZMA_CONCATENATED;
        options.threads = std::max(1U, std::thread::hardware_concurrency());
        options.memlimit_threading = kThreadsMemory;
        options.memlimit_stop = UINT64_MAX;
        const lzma_ret code = lzma_stream_decoder_mt(&m_stream, &options);
        return code == LZMA_OK ? Failure{} : XzFailure(code);
    }

    Failure Read(std::byte* data, std::size_t size, std::size_t& got) override {
        m_stream.next_out = reinterpret_cast<std::uint8_t*>(data);
        m_stream.avail_out = size;
        while (m_stream.avail_out > 0 && !m_ended) {
            if (m_input.Left() == 0 && !m_fileEnded) {
                if (Failure failure = m_input.Refill(m_fileEnded)) {
                    return failure;
                }
            }
            m_stream.next_in = reinterpret_cast<const std::uint8_t*>(m_input.Next());
            m_stream.avail_in = m_input.Left();
            const lzma_ret code = lzma_code(&m_stream, m_fileEnded ? LZMA_FINISH : LZMA_RUN);
            m_input.Use(m_input.Left() - m_stream.avail_in);
            if (code == LZMA_STREAM_END) {
                m_ended = true;
            } else if (code != LZMA_OK) {
                return XzFailure(code);
            }
        }
        got = size - m_stream.avail_out;
        return {};
    }
    std::optional<std::uint64_t> Length() const override { return m_length; }

private:
    lzma_stream m_stream = LZMA_STREAM_INIT;
    std::uint64_t m_length;
    bool m_fileEnded = false;
    bool m_ended = false;
};

}  // namespace

Failure OpenXzSource(ImageHandle file, std::uint64_t length, std::unique_ptr<ImageSource>& source) {
    std::uint64_t content = 0;
    if (Failure failure = XzContentLength(file, length, content)) {
        return failure;
    }
    auto xz = std::make_unique<XzSource>(std::move(file), length, content);
    if (Failure failure = xz->Start()) {
        return failure;
    }
    source = std::move(xz);
    return {};
}

}  // namespace imaging
