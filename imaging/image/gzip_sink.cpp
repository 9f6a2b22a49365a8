#include <zlib.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "image/compressed_sinks.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

namespace {

// Deflate's fastest level with run-length matching only. What fills a card is media that does not
// compress and stretches of zeros; measured here with zlib 1.2.13 on 64 MiB, random / zeros:
// level 1 38 / 285 MB/s (zeros to 0.44 %), level 1 with Z_RLE 78 / 954 MB/s (zeros to 0.10 %),
// Huffman only 83 / 213 MB/s (zeros to 12.6 %). A card reads at 20 to 90 MB/s.
constexpr int kLevel = 1;
constexpr int kStrategy = Z_RLE;
// A gzip wrapper around deflate's stream, with its largest window.
constexpr int kGzipWindowBits = 15 + 16;
constexpr int kMemoryLevel = 8;

// One thread's deflate kept a 40 MB/s card at 0.94 of its rate when the CPU was slow (19 machine
// CPU s/GiB): two compress buffers side by side, each into a gzip member of its own. Members one
// after another are one gzip file, as gzip, zcat and Python's gzip module read it; a member per
// 4 MiB buffer costs 18 bytes of header and the window carried across, nothing that shows.
constexpr int kWorkers = 2;

Failure ZlibFailure(const z_stream& stream, int code) {
    return {FailureReason::WriteError, 0,
            std::string("zlib: ") + (stream.msg != nullptr ? stream.msg : zError(code))};
}

// A buffer on its way through a worker: the member it becomes.
struct Member {
    DriveBuffer* buffer = nullptr;
    std::vector<unsigned char> bytes;
    bool done = false;
    Failure failure;
};

// Deflates one buffer whole into `member`, with a stream the worker keeps between members.
void Compress(z_stream& stream, Member& member) {
    member.bytes.resize(deflateBound(&stream, static_cast<uLong>(member.buffer->length)));
    stream.next_in = reinterpret_cast<Bytef*>(member.buffer->bytes.get());
    stream.avail_in = static_cast<uInt>(member.buffer->length);
    stream.next_out = member.bytes.data();
    stream.avail_out = static_cast<uInt>(member.bytes.size());
    const int result = deflate(&stream, Z_FINISH);
    if (result != Z_STREAM_END) {
        member.failure = ZlibFailure(stream, result);
    }
    member.bytes.resize(member.bytes.size() - stream.avail_out);
    deflateReset(&stream);
}

class GzipSink : public ImageSink {
public:
    explicit GzipSink(ImageFile& image) : m_output(image) {}
    ~GzipSink() override {
        {
            const std::lock_guard lock(m_mutex);
            m_closing = true;
        }
        m_asked.notify_all();
        for (std::thread& worker : m_workers) {
            worker.join();
        }
    }
    GzipSink(const GzipSink&) = delete;
    GzipSink& operator=(const GzipSink&) = delete;

    void Start() {
        for (int worker = 0; worker < kWorkers; ++worker) {
            m_workers.emplace_back([this] { Serve(); });
        }
    }

    // At most one buffer waits for each worker, so the reader always has buffers to fill.
    Failure Take(DriveBuffer& buffer, const Released& released) override {
        while (m_members.size() >= 2 * kWorkers) {
            if (Failure failure = ReleaseOldest(released)) {
                return failure;
            }
        }
        {
            const std::lock_guard lock(m_mutex);
            m_members.push_back({&buffer, {}, false, {}});
        }
        m_asked.notify_one();
        return {};
    }

    bool Holding() const override {
        const std::lock_guard lock(m_mutex);
        return !m_members.empty();
    }

    // The oldest member, once compressed, goes to the file: the members stay in the drive's order.
    Failure ReleaseOldest(const Released& released) override {
        std::unique_lock lock(m_mutex);
        if (m_members.empty()) {
            return {};
        }
        m_ended.wait(lock, [this] { return m_members.front().done; });
        Member member = std::move(m_members.front());
        m_members.pop_front();
        --m_taken;
        lock.unlock();
        if (!member.failure && !m_failure) {
            m_failure = m_output.Put(member.bytes.data(), member.bytes.size());
        } else if (!m_failure) {
            m_failure = member.failure;
        }
        released(member.buffer, !m_failure);
        return m_failure;
    }

    Failure Settle(const Released& released) override {
        while (Holding()) {
            ReleaseOldest(released);
        }
        return m_failure;
    }

    Failure Finish() override { return m_failure; }

    Failure FileSha256(std::string& hex) override { return m_output.FileSha256(hex); }

private:
    // A worker takes the oldest buffer no one has taken yet; members may end in any order.
    void Serve() {
        z_stream stream{};
        const int started =
            deflateInit2(&stream, kLevel, Z_DEFLATED, kGzipWindowBits, kMemoryLevel, kStrategy);
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_asked.wait(lock, [this] { return m_closing || m_taken < m_members.size(); });
            if (m_closing) {
                break;
            }
            Member& member = m_members[m_taken++];
            lock.unlock();
            if (started == Z_OK) {
                Compress(stream, member);
            } else {
                member.failure = ZlibFailure(stream, started);
            }
            lock.lock();
            member.done = true;
            m_ended.notify_all();
        }
        if (started == Z_OK) {
            deflateEnd(&stream);
        }
    }

    CompressedOutput m_output;
    mutable std::mutex m_mutex;
    std::condition_variable m_asked;
    std::condition_variable m_ended;
    std::deque<Member> m_members;  // oldest first; those before m_taken are with a worker or done
    std::size_t m_taken = 0;
    bool m_closing = false;
    Failure m_failure;
    std::vector<std::thread> m_workers;
};

}  // namespace

Failure OpenGzipSink(ImageFile& image, std::unique_ptr<ImageSink>& sink) {
    auto gzip = std::make_unique<GzipSink>(image);
    gzip->Start();
    sink = std::move(gzip);
    return {};
}

}  // namespace imaging
