#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "failure.h"
#include "stage/stage_times.h"

namespace imaging {

// The ring of a run, between its reader and its writer, either way: 24 buffers of 4 MiB, up to 8
// reads and 8 writes in flight, both straight to the disk. Prototypes on the 2-core build machine,
// a 2 GiB loop device and the image on the same virtual disk, 7 interleaved rounds against a fast
// dd bs=64K (warm / cold, machine CPU s/GiB): buffered reads and writes through a 16 x 1 MiB
// ring 0.77 / 1.02 at 1.4-1.5; direct both ways with threads, 16 x 8 MiB, 0.75 / 0.72 at 0.96;
// io_uring direct both ways, 32 x 4 MiB in flight, 0.78 / 0.79 at 0.94. The depth, not the
// buffer's size, is what the disk needs; a few spare buffers let the reader run on while the
// writer waits. bench/README.md has the figures of the engine itself.
inline constexpr std::size_t kRunBufferCount = 24;
inline constexpr std::size_t kRunBufferSize = 4 << 20;
// A drive among several takes 12 buffers (48 MiB) rather than 24: 8 writes in flight and 4
// filled ahead keep a card at its rate, and 30 cards fit in 2 GB with their read-ahead.
inline constexpr std::size_t kSeveralRunsBufferCount = 12;

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
    std::chrono::steady_clock::time_point handedOver;
};

// The buffers between a run's reader and its writer: the reader takes empty ones and hands them
// over filled, in order; the writer takes them filled and gives them back. Either side may end
// the exchange: the reader when its source is read (or failed), the writer when it cannot go on,
// which the reader sees as no more empty buffers. A side with requests in flight asks without
// waiting (`Waiting::No`) and waits for its own requests instead: a side that waited here while
// it held buffers could wait for the very buffers it holds.
class BufferRing {
public:
    // `times`, where given, learns how long either side waited, and how long filled buffers did.
    BufferRing(std::size_t count, std::size_t size, StageTimes* times = nullptr);
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
    // True once the writer has stopped: the reader's work is wasted from then on.
    bool Stopped();
    error::Failure ReaderFailure();

private:
    StageTimes* m_times;
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
