#include "read/buffer_ring.h"

#include <utility>

namespace imaging {

BufferRing::BufferRing(std::size_t count, std::size_t size) : m_buffers(count) {
    for (DriveBuffer& buffer : m_buffers) {
        buffer.bytes.reset(static_cast<std::byte*>(::operator new[](size, kBufferAlignment)));
        buffer.capacity = size;
        m_empty.push_back(&buffer);
    }
}

DriveBuffer* BufferRing::NextEmpty(Waiting waiting) {
    std::unique_lock lock(m_mutex);
    if (waiting == Waiting::Yes) {
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
    if (waiting == Waiting::Yes) {
        m_filledReady.wait(lock, [this] { return m_finished || !m_filled.empty(); });
    }
    if (m_filled.empty()) {
        return nullptr;
    }
    DriveBuffer* buffer = m_filled.front();
    m_filled.pop_front();
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

error::Failure BufferRing::ReaderFailure() {
    const std::lock_guard lock(m_mutex);
    return m_readerFailure;
}

}  // namespace imaging
