#include <bzlib.h>

#include <climits>
#include <optional>

#include "restore/compressed_input.h"
#include "restore/download_sources.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

namespace {

// Streams one after another are one image, as bzip2 -d and pbzip2's files have them.
class Bzip2Source : public CompressedSource {
public:
    Bzip2Source(ImageHandle file, std::uint64_t length)
        : CompressedSource(std::move(file), length) {}
    ~Bzip2Source() override { End(); }
    Bzip2Source(const Bzip2Source&) = delete;
    Bzip2Source& operator=(const Bzip2Source&) = delete;

    Failure Start() {
        m_started = BZ2_bzDecompressInit(&m_stream, 0, 0) == BZ_OK;
        return m_started ? Failure{} : Failure{FailureReason::ReadError, 0, "bzip2: no memory"};
    }

    Failure Read(std::byte* data, std::size_t size, std::size_t& got) override {
        const unsigned int want = static_cast<unsigned int>(std::min<std::size_t>(size, UINT_MAX));
        m_stream.next_out = reinterpret_cast<char*>(data);
        m_stream.avail_out = want;
        while (m_stream.avail_out > 0 && !m_ended) {
            if (Failure failure = NeedInput(m_streamOpen, "bzip2", m_ended)) {
                return failure;
            }
            if (m_ended) {
                break;
            }
            // A stream ended and more follows: the next one starts afresh.
            if (!m_started) {
                if (Failure failure = Start()) {
                    return failure;
                }
            }
            m_stream.next_in = const_cast<char*>(reinterpret_cast<const char*>(m_input.Next()));
            m_stream.avail_in = static_cast<unsigned int>(m_input.Left());
            const int code = BZ2_bzDecompress(&m_stream);
            m_input.Use(m_input.Left() - m_stream.avail_in);
            m_streamOpen = true;
            if (code == BZ_STREAM_END) {
                m_streamOpen = false;
                End();
            } else if (code != BZ_OK) {
                return {FailureReason::ImageDamaged, 0,
                        code == BZ_DATA_ERROR_MAGIC ? "bzip2: not a bzip2 file"
                                                    : "bzip2: the file is damaged"};
            }
        }
        got = want - m_stream.avail_out;
        return {};
    }
    std::optional<std::uint64_t> Length() const override { return std::nullopt; }

private:
    void End() {
        if (m_started) {
            BZ2_bzDecompressEnd(&m_stream);
            m_started = false;
        }
    }

    bz_stream m_stream{};
    bool m_started = false;
    bool m_streamOpen = false;
    bool m_ended = false;
};

}  // namespace

Failure OpenBzip2Source(ImageHandle file, std::uint64_t length,
                        std::unique_ptr<ImageSource>& source) {
    auto bzip2 = std::make_unique<Bzip2Source>(std::move(file), length);
    if (Failure failure = bzip2->Start()) {
        return failure;
    }
    source = std::move(bzip2);
    return {};
}

}  // namespace imaging
