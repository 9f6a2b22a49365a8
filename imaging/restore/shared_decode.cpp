#include "restore/shared_decode.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

namespace imaging {

using error::Failure;

// 32 chunks of 4 MiB: cards of one batch seconds apart stay within it, and a batch's three
// windows take at most 384 MiB, beside 48 MiB of buffers a card.
constexpr std::size_t kChunkBytes = 4 << 20;
constexpr std::size_t kWindowChunks = 32;

// The decoded bytes one pass's readers share, and their one decoder, opened by the first reader
// and let go with the bytes once the last has gone, so a pass that starts later starts afresh.
class DecodedWindow {
public:
    explicit DecodedWindow(const std::string& path) : m_path(path) {}

    Failure Attach(ImageFormat format) {
        const std::lock_guard lock(m_mutex);
        if (m_readers == 0) {
            if (Failure failure = OpenImageSource(m_path, format, m_decoder)) {
                return failure;
            }
            m_format = format;
            m_length = m_decoder->Length();
            m_fileLength = m_decoder->FileLength();
            m_inside = m_decoder->Inside();
        }
        ++m_readers;
        return {};
    }

    void Detach() {
        const std::lock_guard lock(m_mutex);
        if (--m_readers == 0) {
            m_decoder.reset();
            m_chunks.clear();
            m_start = m_end = 0;
            m_ended = false;
            m_failure = {};
            m_fileRead = 0;
        }
    }

    // Up to `size` bytes from `offset` into `data`, or passed over where `data` is null; `got` 0
    // at the image's end. False where `offset` has left the window.
    bool ReadAt(std::uint64_t offset, std::byte* data, std::size_t size, std::size_t& got,
                Failure& failure) {
        std::unique_lock lock(m_mutex);
        for (;;) {
            if (offset < m_start) {
                return false;
            }
            if (offset < m_end) {
                break;
            }
            if (m_ended) {
                failure = m_failure;
                got = 0;
                return true;
            }
            if (m_decoding) {
                m_decoded.wait(lock);
            } else {
                DecodeNext(lock);
            }
        }
        // A chunk is never changed once decoded; the copy needs only this reader's hold on it.
        const std::size_t at = static_cast<std::size_t>((offset - m_start) / kChunkBytes);
        const std::shared_ptr<const std::vector<std::byte>> chunk = m_chunks[at];
        const std::size_t within = static_cast<std::size_t>(offset - m_start) - at * kChunkBytes;
        lock.unlock();
        got = std::min(size, chunk->size() - within);
        if (data != nullptr) {
            std::memcpy(data, chunk->data() + within, got);
        }
        return true;
    }

    // What the file told when the first reader opened it; the same for every reader after.
    std::optional<std::uint64_t> Length() const { return m_length; }
    std::uint64_t FileLength() const { return m_fileLength; }
    const std::string& Inside() const { return m_inside; }
    std::uint64_t FileRead() const { return m_fileRead.load(std::memory_order_relaxed); }
    const std::string& Path() const { return m_path; }
    ImageFormat Format() const { return m_format; }

private:
    // The next chunk, decoded with the lock let go meanwhile; readers that need it wait. The
    // oldest chunk goes where the window is full, whoever has yet to read it.
    void DecodeNext(std::unique_lock<std::mutex>& lock) {
        m_decoding = true;
        ImageSource* const decoder = m_decoder.get();
        lock.unlock();
        auto chunk = std::make_shared<std::vector<std::byte>>(kChunkBytes);
        std::size_t got = 0;
        const Failure failure = ReadFull(*decoder, chunk->data(), chunk->size(), got);
        chunk->resize(got);
        const std::uint64_t fileRead = decoder->FileRead();
        lock.lock();
        m_decoding = false;
        m_fileRead = fileRead;
        if (failure || got == 0) {
            m_ended = true;
            m_failure = failure;
        }
        if (got != 0) {
            m_chunks.push_back(std::move(chunk));
            m_end += got;
            if (m_chunks.size() > kWindowChunks) {
                m_chunks.pop_front();
                m_start += kChunkBytes;
            }
        }
        m_decoded.notify_all();
    }

    const std::string m_path;
    ImageFormat m_format = ImageFormat::Raw;
    std::optional<std::uint64_t> m_length;
    std::uint64_t m_fileLength = 0;
    std::string m_inside;
    mutable std::mutex m_mutex;
    std::condition_variable m_decoded;
    std::unique_ptr<ImageSource> m_decoder;
    std::size_t m_readers = 0;
    bool m_decoding = false;
    bool m_ended = false;
    Failure m_failure;
    std::deque<std::shared_ptr<const std::vector<std::byte>>> m_chunks;
    std::uint64_t m_start = 0;  // the offset of the first chunk; all but the last are whole
    std::uint64_t m_end = 0;    // past the last
    std::atomic<std::uint64_t> m_fileRead{0};
};

namespace {

// One card's pass over a shared window, until its next bytes have left it; then over a decoder
// of its own.
class SharedSource : public ImageSource {
public:
    explicit SharedSource(std::shared_ptr<DecodedWindow> window) : m_window(std::move(window)) {}
    ~SharedSource() override { m_window->Detach(); }
    SharedSource(const SharedSource&) = delete;
    SharedSource& operator=(const SharedSource&) = delete;

    Failure Read(std::byte* data, std::size_t size, std::size_t& got) override {
        if (m_own == nullptr) {
            Failure failure;
            if (m_window->ReadAt(m_offset, data, size, got, failure)) {
                m_offset += got;
                return failure;
            }
            if (Failure failure = GoOnAlone()) {
                return failure;
            }
        }
        return m_own->Read(data, size, got);
    }

    Failure Skip(std::uint64_t bytes, std::uint64_t& skipped) override {
        skipped = 0;
        while (m_own == nullptr && skipped < bytes) {
            const std::size_t step =
                static_cast<std::size_t>(std::min<std::uint64_t>(bytes - skipped, kChunkBytes));
            std::size_t got = 0;
            Failure failure;
            if (!m_window->ReadAt(m_offset, nullptr, step, got, failure)) {
                if (Failure alone = GoOnAlone()) {
                    return alone;
                }
                break;
            }
            if (failure || got == 0) {
                return failure;
            }
            m_offset += got;
            skipped += got;
        }
        if (m_own == nullptr || skipped == bytes) {
            return {};
        }
        std::uint64_t more = 0;
        const Failure failure = m_own->Skip(bytes - skipped, more);
        skipped += more;
        return failure;
    }

    std::optional<std::uint64_t> Length() const override { return m_window->Length(); }
    std::uint64_t FileLength() const override { return m_window->FileLength(); }
    std::uint64_t FileRead() const override {
        return m_own != nullptr ? m_own->FileRead() : m_window->FileRead();
    }
    std::string Inside() const override { return m_window->Inside(); }

private:
    // Behind the window: the card decodes the image itself from the start to where it was. A
    // file that now ends before that is not the one the others read.
    Failure GoOnAlone() {
        if (Failure failure = OpenImageSource(m_window->Path(), m_window->Format(), m_own)) {
            return failure;
        }
        std::uint64_t skipped = 0;
        if (Failure failure = m_own->Skip(m_offset, skipped)) {
            return failure;
        }
        return skipped == m_offset ? Failure{}
                                   : Failure{error::FailureReason::ImageChanged, 0,
                                             "it ends before byte " + std::to_string(m_offset) +
                                                 ", where the other cards had read it"};
    }

    std::shared_ptr<DecodedWindow> m_window;
    std::unique_ptr<ImageSource> m_own;
    std::uint64_t m_offset = 0;
};

}  // namespace

SharedDecode::SharedDecode(std::string path) : m_path(std::move(path)) {
    for (std::shared_ptr<DecodedWindow>& window : m_windows) {
        window = std::make_shared<DecodedWindow>(m_path);
    }
}

SharedDecode::~SharedDecode() = default;

Failure SharedDecode::Open(SharedPass pass, ImageFormat format,
                           std::unique_ptr<ImageSource>& source) {
    const std::shared_ptr<DecodedWindow>& window = m_windows[static_cast<std::size_t>(pass)];
    if (Failure failure = window->Attach(format)) {
        return failure;
    }
    source = std::make_unique<SharedSource>(window);
    return {};
}

}  // namespace imaging
