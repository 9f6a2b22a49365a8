#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "io_queue.h"

namespace io {

// The queue that works everywhere: `depth` threads, each doing one request at a time with the
// platform's positioned read and write.
class ThreadQueue : public Queue {
public:
    explicit ThreadQueue(std::size_t depth);
    ~ThreadQueue() override;

    error::Failure Submit(const Request& request) override;
    Completion Wait() override;
    std::size_t Depth() const override { return m_depth; }

private:
    void Serve();

    std::size_t m_depth;
    std::mutex m_mutex;
    std::condition_variable m_asked;
    std::condition_variable m_ended;
    std::deque<Request> m_pending;
    std::deque<Completion> m_completed;
    bool m_closing = false;
    std::vector<std::thread> m_threads;
};

}  // namespace io
