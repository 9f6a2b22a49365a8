#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>

#include "failure.h"
#include "io_queue.h"
#include "stage/buffer_ring.h"
#include "stage/sink.h"
#include "stage/stage_times.h"

namespace imaging {

// Where a writer puts buffers: the file or drive, and the alignment its writes must keep (direct
// writes; 1 where the cache takes any write); the same file through the cache, for the bytes
// that do not keep it (a last partial block); whether runs of zero blocks are left out (the
// holes of a sparse image; the empty space of a card that keeps its old content), or those a
// block map leaves unmapped; and the bytes [from, to) of the stream that are written at all: the
// rest is left alone.
struct WriteTarget {
    io::NativeFile file{};
    std::size_t alignment = 1;
    io::NativeFile cached{};
    bool skipZeroBlocks = false;
    std::uint64_t from = 0;
    std::uint64_t to = UINT64_MAX;
    // Where set, only the blocks it maps (offset, size) are written: the rest is left out.
    std::function<bool(std::uint64_t, std::size_t)> mapped;
};

// The sink of buffers both directions share: writes each buffer at its own offset with several
// writes in flight and hands buffers back, in order, once every write of theirs has ended. Bytes
// that do not keep the alignment go through the cache at once: they share no block with a
// direct write. After a failed write nothing more is started; the first failure is the writer's
// answer from then on.
class DepthWriter {
public:
    // `times`, where given, learns how long each buffer's writes took and the writer waited.
    DepthWriter(io::Queue& queue, WriteTarget target, StageTimes* times = nullptr)
        : m_queue(queue), m_target(target), m_times(times) {}
    // Waits for every write still in flight: their buffers are not the writer's to free.
    ~DepthWriter();
    DepthWriter(const DepthWriter&) = delete;
    DepthWriter& operator=(const DepthWriter&) = delete;

    // Starts the writes of `buffer`'s bytes; waits for earlier writes while the queue is full.
    error::Failure Put(DriveBuffer& buffer, const Released& released);

    // True while a buffer is held; the caller then waits for the oldest rather than for a new one.
    bool Holding() const { return !m_held.empty(); }

    // Waits until the oldest held buffer's writes have ended, and hands it back.
    error::Failure ReleaseOldest(const Released& released);

    // Waits for every write and hands every buffer back; the writer's answer.
    error::Failure Settle(const Released& released);

    // The bytes written and left out, so far.
    std::uint64_t Written() const { return m_written; }
    std::uint64_t LeftOut() const { return m_leftOut; }

private:
    struct Held {
        DriveBuffer* buffer = nullptr;
        std::size_t pending = 0;  // its writes still in flight
        // Where its first write began: a failed write is told by the byte its request began at.
        std::uint64_t firstWrite = 0;
        std::chrono::steady_clock::time_point started;
    };

    error::Failure Write(std::uint64_t id, const std::byte* data, std::size_t size,
                         std::uint64_t offset);
    error::Failure Start(std::uint64_t id, const std::byte* data, std::size_t size,
                         std::uint64_t offset);
    void WaitOne();

    io::Queue& m_queue;
    WriteTarget m_target;
    StageTimes* m_times;
    std::deque<Held> m_held;
    std::uint64_t m_firstId = 0;  // the id of m_held's first buffer
    std::size_t m_inFlight = 0;
    error::Failure m_failure;
    std::uint64_t m_written = 0;
    std::uint64_t m_leftOut = 0;
};

}  // namespace imaging
