#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "io_queue.h"
#include "positioned_io.h"

namespace io {

// How a thread of the queue does one request, to its end.
using Transfer = std::function<Completion(const Request&)>;

// The queue that works everywhere: `depth` threads, each doing one request at a time with the
// platform's positioned read and write, or with `transfer` where the caller has its own way.
class ThreadQueue : public Queue {
public:
    explicit ThreadQueue(std::size_t depth, Transfer transfer = TransferNow);
    ~ThreadQueue() override;

    error::Failure Submit(const Request& request) override;
    Completion Wait() override;
    std::size_t Depth() const override { return m_depth; }

private:
    void Serve();

    std::size_t m_depth;
    Transfer m_transfer;
    std::mutex m_mutex;
    std::condition_variable m_asked;
    std::condition_variable m_ended;
    std::deque<Request> m_pending;
    std::deque<Completion> m_completed;
    bool m_closing = false;
    std::vector<std::thread> m_threads;
};

}  // namespace io
