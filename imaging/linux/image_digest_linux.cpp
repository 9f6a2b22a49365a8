#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <thread>
#include <vector>

#include "image_digest.h"

namespace imaging {
namespace {

// The hashing thread reads the image back from the page cache in pieces of this size; the
// worker wakes it only when a whole piece is waiting.
constexpr std::uint64_t kPiece = 1 << 20;

struct EvpContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

// A thread of its own reads what the worker has written, while it is still in the page cache,
// and hashes it on the other core; the worker only publishes how far the image has grown.
struct ImageDigest::State {
    explicit State(int imageFd) : image(imageFd), buffer(kPiece) {}

    void Run() {
        std::uint64_t hashed = 0;
        for (;;) {
            const std::uint32_t signal = toHasher.load(std::memory_order_acquire);
            const std::uint64_t available = written.load(std::memory_order_acquire);
            const bool last = finished.load(std::memory_order_acquire);
            if (abandoned.load(std::memory_order_acquire) || (last && hashed >= available)) {
                break;
            }
            if (available - hashed < kPiece && !last) {
                toHasher.wait(signal, std::memory_order_acquire);
                continue;
            }
            const std::uint64_t want = std::min(kPiece, available - hashed);
            const ssize_t got = ::pread(image, buffer.data(), want, static_cast<off_t>(hashed));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0 || EVP_DigestUpdate(context.get(), buffer.data(), got) != 1) {
                failed.store(true, std::memory_order_release);
                break;
            }
            hashed += static_cast<std::uint64_t>(got);
            hashedLength.store(hashed, std::memory_order_release);
            Signal(fromHasher);
        }
        done.store(true, std::memory_order_release);
        Signal(fromHasher);
    }

    // Each side sleeps on a counter the other bumps, so a wake-up is never lost to a value
    // that did not change.
    static void Signal(std::atomic<std::uint32_t>& counter) {
        counter.fetch_add(1, std::memory_order_release);
        counter.notify_all();
    }

    int image;
    std::vector<unsigned char> buffer;
    std::unique_ptr<EVP_MD_CTX, EvpContextDeleter> context{EVP_MD_CTX_new()};
    std::atomic<std::uint64_t> written{0};
    std::atomic<std::uint64_t> hashedLength{0};
    std::atomic<bool> finished{false};
    std::atomic<bool> abandoned{false};
    std::atomic<bool> failed{false};
    std::atomic<bool> done{false};
    std::atomic<std::uint32_t> toHasher{0};
    std::atomic<std::uint32_t> fromHasher{0};
    std::thread hasher;
};

ImageDigest::ImageDigest(const ImageFile& image)
    : m_state(std::make_unique<State>(image.Handle())) {
    if (m_state->context && EVP_DigestInit_ex(m_state->context.get(), EVP_sha256(), nullptr) == 1) {
        m_state->hasher = std::thread([state = m_state.get()] { state->Run(); });
    }
}

ImageDigest::~ImageDigest() {
    if (m_state->hasher.joinable()) {
        m_state->abandoned.store(true, std::memory_order_release);
        State::Signal(m_state->toHasher);
        m_state->hasher.join();
    }
}

bool ImageDigest::IsReady() const {
    return m_state->hasher.joinable();
}

void ImageDigest::Written(const void* /*data*/, std::size_t size, std::uint64_t lengthAfter) {
    m_state->written.store(lengthAfter, std::memory_order_release);
    if ((lengthAfter - size) / kPiece != lengthAfter / kPiece) {
        State::Signal(m_state->toHasher);
    }
}

void ImageDigest::WaitHashed(std::uint64_t length) {
    for (;;) {
        const std::uint32_t signal = m_state->fromHasher.load(std::memory_order_acquire);
        if (m_state->hashedLength.load(std::memory_order_acquire) >= length ||
            m_state->done.load(std::memory_order_acquire)) {
            return;
        }
        m_state->fromHasher.wait(signal, std::memory_order_acquire);
    }
}

std::string ImageDigest::Finish(std::uint64_t length) {
    if (!m_state->hasher.joinable()) {
        return {};
    }
    m_state->written.store(length, std::memory_order_release);
    m_state->finished.store(true, std::memory_order_release);
    State::Signal(m_state->toHasher);
    m_state->hasher.join();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (m_state->failed.load() || m_state->hashedLength.load() != length ||
        EVP_DigestFinal_ex(m_state->context.get(), digest, &size) != 1) {
        return {};
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

}  // namespace imaging
