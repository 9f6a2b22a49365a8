#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace imaging {

// What a run's buffers wait for, each summed over the run; for a benchmark's trace of where the
// time goes.
enum class Wait : std::size_t {
    ReadInFlight,       // a read, from submitted to ended
    Hash,               // the reader hashing a buffer
    ReaderWaitsEmpty,   // the reader waiting for an empty buffer
    FilledWaits,        // a buffer handed over and not yet taken by the writer
    WriterWaitsFilled,  // the writer waiting for a filled buffer
    WriteInFlight,      // a buffer's writes, from the first submitted to the last ended
    WriterWaitsWrites,  // the writer waiting for its own writes to end
    Flush,              // the image's data flushed on the way
    Count
};

class StageTimes {
public:
    using Clock = std::chrono::steady_clock;

    void Add(Wait wait, Clock::duration took) {
        const auto at = static_cast<std::size_t>(wait);
        m_nanos[at].fetch_add(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count(),
                              std::memory_order_relaxed);
        m_counts[at].fetch_add(1, std::memory_order_relaxed);
    }
    void Reset();

    // A line for each wait: its seconds per GiB of `bytes`, how often, and its mean.
    std::string Summary(std::uint64_t bytes) const;

private:
    std::array<std::atomic<std::int64_t>, static_cast<std::size_t>(Wait::Count)> m_nanos{};
    std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(Wait::Count)> m_counts{};
};

// Adds the time from here to the end of its scope to `times`, where there are any.
class TimedWait {
public:
    TimedWait(StageTimes* times, Wait wait)
        : m_times(times),
          m_wait(wait),
          m_start(times != nullptr ? StageTimes::Clock::now() : StageTimes::Clock::time_point{}) {}
    ~TimedWait() {
        if (m_times != nullptr) {
            m_times->Add(m_wait, StageTimes::Clock::now() - m_start);
        }
    }
    TimedWait(const TimedWait&) = delete;
    TimedWait& operator=(const TimedWait&) = delete;

private:
    StageTimes* m_times;
    Wait m_wait;
    StageTimes::Clock::time_point m_start;
};

}  // namespace imaging
