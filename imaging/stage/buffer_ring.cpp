#include "stage/buffer_ring.h"

#include <utility>

namespace imaging {

BufferRing::BufferRing(std::size_t count, std::size_t size, StageTimes* times)
    : m_times(times), m_buffers(count) {
    for (DriveBuffer& buffer : m_buffers) {
        buffer.bytes.reset(static_cast<std::byte*>(::operator new[](size, kBufferAlignment)));
        buffer.capacity = size;
        m_empty.push_back(&buffer);
    }
}

DriveBuffer* BufferRing::NextEmpty(Waiting waiting) {
    std::unique_lock lock(m_mutex);
    if (waiting == Waiting::Yes && !m_stopped && m_empty.empty()) {
        const TimedWait waited(m_times, Wait::ReaderWaitsEmpty);
        m_emptyReady.wait(lock, [this] { return m_stopped || !m_empty.empty(); });
    }
    if (m_stopped || m_empty.empty()) {
        return nullptr;
    }
    DriveBuffer* buffer = m_empty.front();
    m_empty.pop_front();
    return buffer;
}

void BufferRing::HandOver(DriveBuffer* buffer) {
    {
        const std::lock_guard lock(m_mutex);
        buffer->handedOver = std::chrono::steady_clock::now();
        m_filled.push_back(buffer);
    }
    m_filledReady.notify_one();
}

void BufferRing::Finish(error::Failure failure) {
    {
        const std::lock_guard lock(m_mutex);
        m_finished = true;
        m_readerFailure = std::move(failure);
    }
    m_filledReady.notify_one();
}

DriveBuffer* BufferRing::NextFilled(Waiting waiting) {
    std::unique_lock lock(m_mutex);
    if (waiting == Waiting::Yes && !m_finished && m_filled.empty()) {
        const TimedWait waited(m_times, Wait::WriterWaitsFilled);
        m_filledReady.wait(lock, [this] { return m_finished || !m_filled.empty(); });
    }
    if (m_filled.empty()) {
        return nullptr;
    }
    DriveBuffer* buffer = m_filled.front();
    m_filled.pop_front();
    if (m_times != nullptr) {
        m_times->Add(Wait::FilledWaits, std::chrono::steady_clock::now() - buffer->handedOver);
    }
    return buffer;
}

void BufferRing::GiveBack(DriveBuffer* buffer) {
    {
        const std::lock_guard lock(m_mutex);
        m_empty.push_back(buffer);
    }
    m_emptyReady.notify_one();
}

void BufferRing::Stop() {
    {
        const std::lock_guard lock(m_mutex);
        m_stopped = true;
    }
    m_emptyReady.notify_one();
}

bool BufferRing::Stopped() {
    const std::lock_guard lock(m_mutex);
    return m_stopped;
}

error::Failure BufferRing::ReaderFailure() {
    const std::lock_guard lock(m_mutex);
    return m_readerFailure;
}

}  // namespace imaging
