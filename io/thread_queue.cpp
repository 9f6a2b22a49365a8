#include "thread_queue.h"

namespace io {

ThreadQueue::ThreadQueue(std::size_t depth, Transfer transfer)
    : m_depth(depth == 0 ? 1 : depth), m_transfer(std::move(transfer)) {
    m_threads.reserve(m_depth);
    for (std::size_t thread = 0; thread < m_depth; ++thread) {
        m_threads.emplace_back([this] { Serve(); });
    }
}

ThreadQueue::~ThreadQueue() {
    {
        const std::lock_guard lock(m_mutex);
        m_closing = true;
    }
    m_asked.notify_all();
    for (std::thread& thread : m_threads) {
        thread.join();
    }
}

error::Failure ThreadQueue::Submit(const Request& request) {
    {
        const std::lock_guard lock(m_mutex);
        m_pending.push_back(request);
    }
    m_asked.notify_one();
    return {};
}

Completion ThreadQueue::Wait() {
    std::unique_lock lock(m_mutex);
    m_ended.wait(lock, [this] { return !m_completed.empty(); });
    const Completion completion = m_completed.front();
    m_completed.pop_front();
    return completion;
}

// Requests still pending at closing are done first: their buffers are the caller's until then.
void ThreadQueue::Serve() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_asked.wait(lock, [this] { return m_closing || !m_pending.empty(); });
        if (m_pending.empty()) {
            return;
        }
        const Request request = m_pending.front();
        m_pending.pop_front();
        lock.unlock();
        const Completion completion = m_transfer(request);
        lock.lock();
        m_completed.push_back(completion);
        m_ended.notify_one();
    }
}

}  // namespace io
