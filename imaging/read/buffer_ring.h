#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "failure.h"

namespace imaging {

// Page-aligned, as a sector read that bypasses the page cache needs its buffer to be.
inline constexpr std::align_val_t kBufferAlignment{4096};

struct AlignedDelete {
    void operator()(std::byte* bytes) const { ::operator delete[](bytes, kBufferAlignment); }
};

// One buffer of the ring: `length` of its `capacity` bytes hold the drive's from `offset`.
struct DriveBuffer {
    std::unique_ptr<std::byte[], AlignedDelete> bytes;
    std::size_t capacity = 0;
    std::size_t length = 0;
    std::uint64_t offset = 0;
};

// The buffers between a run's reader and its writer: the reader takes empty ones and hands them
// over filled, in order; the writer takes them filled and gives them back. Either side may end
// the exchange: the reader when its source is read (or failed), the writer when it cannot go on,
// which the reader sees as no more empty buffers. A side with requests in flight asks without
// waiting (`Waiting::No`) and waits for its own requests instead: a side that waited here while
// it held buffers could wait for the very buffers it holds.
class BufferRing {
public:
    BufferRing(std::size_t count, std::size_t size);
    BufferRing(const BufferRing&) = delete;
    BufferRing& operator=(const BufferRing&) = delete;

    enum class Waiting { Yes, No };

    // The reader's side. NextEmpty answers nullptr once the writer has stopped, or at once
    // without `Waiting::Yes` when no buffer is empty now.
    DriveBuffer* NextEmpty(Waiting waiting = Waiting::Yes);
    void HandOver(DriveBuffer* buffer);
    // No more buffers will come; `failure` says why when the drive was not read to its end.
    void Finish(error::Failure failure);

    // The writer's side. NextFilled answers nullptr once every handed-over buffer has been taken
    // and the reader has finished (ReaderFailure then tells why it finished), or at once without
    // `Waiting::Yes` when no buffer is filled now.
    DriveBuffer* NextFilled(Waiting waiting = Waiting::Yes);
    void GiveBack(DriveBuffer* buffer);
    void Stop();
    error::Failure ReaderFailure();

private:
    std::vector<DriveBuffer> m_buffers;
    std::mutex m_mutex;
    std::condition_variable m_emptyReady;
    std::condition_variable m_filledReady;
    std::deque<DriveBuffer*> m_empty;
    std::deque<DriveBuffer*> m_filled;
    bool m_finished = false;
    bool m_stopped = false;
    error::Failure m_readerFailure;
};

}  // namespace imaging
