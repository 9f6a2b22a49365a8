#include <zstd.h>

#include "image/compressed_sinks.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

namespace {

// Level 3 with two worker threads: on the 2-core build machine it compresses random data (a card
// full of photos, the worst case) at 370 to 400 MB/s from a fast disk, and keeps a 40 MB/s card at
// 0.98 of its rate; see bench/README.md.
constexpr int kLevel = 3;
constexpr int kWorkers = 2;

Failure ZstdFailure(std::size_t code) {
    return {FailureReason::WriteError, 0, std::string("zstd: ") + ZSTD_getErrorName(code)};
}

class ZstdSink : public StreamSink {
public:
    explicit ZstdSink(ImageFile& image) : m_output(image) {}
    ~ZstdSink() override { ZSTD_freeCCtx(m_context); }
    ZstdSink(const ZstdSink&) = delete;
    ZstdSink& operator=(const ZstdSink&) = delete;

    Failure Start(std::uint64_t driveLength) {
        m_context = ZSTD_createCCtx();
        if (m_context == nullptr) {
            return {FailureReason::WriteError, 0, "zstd: no memory for the compressor"};
        }
        for (const auto& [parameter, value] :
             {std::pair{ZSTD_c_compressionLevel, kLevel}, std::pair{ZSTD_c_checksumFlag, 1}}) {
            const std::size_t result = ZSTD_CCtx_setParameter(m_context, parameter, value);
            if (ZSTD_isError(result)) {
                return ZstdFailure(result);
            }
        }
        // A library built without threads refuses workers and compresses on this thread.
        (void)ZSTD_CCtx_setParameter(m_context, ZSTD_c_nbWorkers, kWorkers);
        const std::size_t pledged = ZSTD_CCtx_setPledgedSrcSize(m_context, driveLength);
        return ZSTD_isError(pledged) ? ZstdFailure(pledged) : Failure{};
    }

    Failure Write(const std::byte* data, std::size_t size) override {
        ZSTD_inBuffer in{data, size, 0};
        while (in.pos < in.size) {
            if (Failure failure = Compress(in, ZSTD_e_continue).second) {
                return failure;
            }
        }
        return {};
    }

    Failure Finish() override {
        ZSTD_inBuffer in{nullptr, 0, 0};
        for (;;) {
            const auto [left, failure] = Compress(in, ZSTD_e_end);
            if (failure || left == 0) {
                return failure;
            }
        }
    }

    Failure FileSha256(std::string& hex) override { return m_output.FileSha256(hex); }

private:
    // One step of the compressor; what it emitted is written out. Returns what ZSTD_e_end has
    // still to flush.
    std::pair<std::size_t, Failure> Compress(ZSTD_inBuffer& in, ZSTD_EndDirective directive) {
        std::vector<unsigned char>& buffer = m_output.Buffer();
        ZSTD_outBuffer out{buffer.data(), buffer.size(), 0};
        const std::size_t left = ZSTD_compressStream2(m_context, &out, &in, directive);
        if (ZSTD_isError(left)) {
            return {0, ZstdFailure(left)};
        }
        return {left, out.pos > 0 ? m_output.Put(buffer.data(), out.pos) : Failure{}};
    }

    CompressedOutput m_output;
    ZSTD_CCtx* m_context = nullptr;
};

}  // namespace

Failure OpenZstdSink(ImageFile& image, std::uint64_t driveLength,
                     std::unique_ptr<ImageSink>& sink) {
    auto zstd = std::make_unique<ZstdSink>(image);
    if (Failure failure = zstd->Start(driveLength)) {
        return failure;
    }
    sink = std::move(zstd);
    return {};
}

}  // namespace imaging
