#include "restore/image_source.h"

#include <zlib.h>
#include <zstd.h>

#include <vector>

#include "image/target_folder.h"
#include "restore/compressed_input.h"
#include "restore/download_sources.h"
#include "restore/raw_source.h"
#include "restore/zstd_frames.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

namespace {

class ZstdSource : public CompressedSource {
public:
    ZstdSource(ImageHandle file, std::uint64_t length, std::optional<std::uint64_t> content)
        : CompressedSource(std::move(file), length),
          m_context(ZSTD_createDCtx()),
          m_length(content) {}
    ~ZstdSource() override { ZSTD_freeDCtx(m_context); }
    ZstdSource(const ZstdSource&) = delete;
    ZstdSource& operator=(const ZstdSource&) = delete;

    Failure Start() {
        if (m_context == nullptr) {
            return {FailureReason::ReadError, 0, "zstd: no memory for the decompressor"};
        }
        bool ended = false;
        if (Failure failure = m_input.Refill(ended)) {
            return failure;
        }
        if (ZSTD_getFrameContentSize(m_input.Next(), m_input.Left()) == ZSTD_CONTENTSIZE_ERROR) {
            return {FailureReason::ImageDamaged, 0, "not a zstd file"};
        }
        return {};
    }

    Failure Read(std::byte* data, std::size_t size, std::size_t& got) override {
        ZSTD_outBuffer out{data, size, 0};
        while (out.pos == 0 && !m_ended) {
            // A frame cut short ends without its checksum.
            if (Failure failure = NeedInput(m_frameOpen, "zstd", m_ended)) {
                return failure;
            }
            if (m_ended) {
                break;
            }
            ZSTD_inBuffer in{m_input.Next(), m_input.Left(), 0};
            const std::size_t result = ZSTD_decompressStream(m_context, &out, &in);
            m_input.Use(in.pos);
            if (ZSTD_isError(result)) {
                return {FailureReason::ImageDamaged, 0,
                        std::string("zstd: ") + ZSTD_getErrorName(result)};
            }
            m_frameOpen = result != 0;
        }
        got = out.pos;
        return {};
    }
    std::optional<std::uint64_t> Length() const override { return m_length; }

private:
    ZSTD_DCtx* m_context;
    std::optional<std::uint64_t> m_length;
    bool m_frameOpen = false;
    bool m_ended = false;
};

// Members one after another are one stream, as gzip -d reads them.
class GzipSource : public CompressedSource {
public:
    GzipSource(ImageHandle file, std::uint64_t length)
        : CompressedSource(std::move(file), length) {}
    ~GzipSource() override {
        if (m_started) {
            inflateEnd(&m_stream);
        }
    }
    GzipSource(const GzipSource&) = delete;
    GzipSource& operator=(const GzipSource&) = delete;

    Failure Start() {
        // 16 + 15: a gzip wrapper around a 32 KiB window.
        m_started = inflateInit2(&m_stream, 16 + 15) == Z_OK;
        return m_started ? Failure{} : Failure{FailureReason::ReadError, 0, "zlib: no memory"};
    }

    Failure Read(std::byte* data, std::size_t size, std::size_t& got) override {
        m_stream.next_out = reinterpret_cast<Bytef*>(data);
        m_stream.avail_out = static_cast<uInt>(size);
        while (m_stream.avail_out == size && !m_ended) {
            if (Failure failure = NeedInput(m_memberOpen, "gzip", m_ended)) {
                return failure;
            }
            if (m_ended) {
                break;
            }
            m_stream.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(m_input.Next()));
            m_stream.avail_in = static_cast<uInt>(m_input.Left());
            const int result = inflate(&m_stream, Z_NO_FLUSH);
            m_input.Use(m_input.Left() - m_stream.avail_in);
            if (result == Z_STREAM_END) {
                m_memberOpen = false;
                inflateReset(&m_stream);
                continue;
            }
            if (result != Z_OK && result != Z_BUF_ERROR) {
                return {FailureReason::ImageDamaged, 0,
                        std::string("gzip: ") +
                            (m_stream.msg != nullptr ? m_stream.msg : "not a gzip file")};
            }
            m_memberOpen = true;
        }
        got = size - m_stream.avail_out;
        return {};
    }
    std::optional<std::uint64_t> Length() const override { return std::nullopt; }

private:
    z_stream m_stream{};
    bool m_started = false;
    bool m_memberOpen = false;
    bool m_ended = false;
};

}  // namespace

Failure OpenImageSource(const std::string& path, ImageFormat format,
                        std::unique_ptr<ImageSource>& source, bool shared) {
    ImageHandle file;
    std::uint64_t length = 0;
    if (Failure failure = OpenToRead(path, file)) {
        return {FailureReason::ImageRefused, failure.error, failure.message};
    }
    if (Failure failure = LengthOf(file, length)) {
        return {FailureReason::ImageRefused, failure.error, failure.message};
    }
    switch (format) {
        case ImageFormat::Zstd: {
            const std::optional<std::uint64_t> content = ZstdContentLength(file, length);
            if (Failure failure = PositionAt(file, 0)) {
                return {FailureReason::ImageRefused, failure.error, failure.message};
            }
            auto zstd = std::make_unique<ZstdSource>(std::move(file), length, content);
            if (Failure failure = zstd->Start()) {
                return failure;
            }
            source = std::move(zstd);
            return {};
        }
        case ImageFormat::Gzip: {
            auto gzip = std::make_unique<GzipSource>(std::move(file), length);
            if (Failure failure = gzip->Start()) {
                return failure;
            }
            source = std::move(gzip);
            return {};
        }
        case ImageFormat::Xz:
            return OpenXzSource(std::move(file), length, source);
        case ImageFormat::Bzip2:
            return OpenBzip2Source(std::move(file), length, source);
        case ImageFormat::Zip:
            return OpenZipSource(path, length, source);
        case ImageFormat::Raw:
            break;
    }
    source = std::make_unique<RawSource>(std::move(file), length, !shared);
    return {};
}

Failure ImageSource::Skip(std::uint64_t bytes, std::uint64_t& skipped) {
    std::vector<std::byte> discard(std::min<std::uint64_t>(bytes, 1 << 20));
    skipped = 0;
    for (std::size_t got = 1; skipped < bytes && got > 0; skipped += got) {
        if (Failure failure = Read(discard.data(),
                                   std::min<std::uint64_t>(discard.size(), bytes - skipped), got)) {
            return failure;
        }
    }
    return {};
}

Failure ReadFull(ImageSource& source, std::byte* data, std::size_t size, std::size_t& got) {
    got = 0;
    for (std::size_t part = 1; got < size && part > 0; got += part) {
        if (Failure failure = source.Read(data + got, size - got, part)) {
            return failure;
        }
    }
    return {};
}

}  // namespace imaging
