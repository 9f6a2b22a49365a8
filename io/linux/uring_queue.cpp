#include "uring_queue.h"

#include <cerrno>

namespace io {

using error::Failure;
using error::FailureReason;

Failure UringQueue::Open(std::size_t depth, std::unique_ptr<Queue>& queue) {
    std::unique_ptr<UringQueue> opened(new UringQueue(depth == 0 ? 1 : depth));
    const int result =
        io_uring_queue_init(static_cast<unsigned>(opened->m_slots.size()), &opened->m_ring, 0);
    if (result < 0) {
        // Nothing to tear down: the ring was not made.
        opened->m_slots.clear();
        return {FailureReason::ReadError, -result, "io_uring_queue_init"};
    }
    queue = std::move(opened);
    return {};
}

UringQueue::~UringQueue() {
    if (!m_slots.empty()) {
        io_uring_queue_exit(&m_ring);
    }
}

Failure UringQueue::Start(std::size_t slot) {
    Slot& taken = m_slots[slot];
    io_uring_sqe* const entry = io_uring_get_sqe(&m_ring);
    if (entry == nullptr) {
        return {FailureReason::ReadError, EBUSY, "no room in the kernel's queue"};
    }
    std::byte* const data = taken.request.data + taken.done;
    const auto size = static_cast<unsigned>(taken.request.size - taken.done);
    const std::uint64_t offset = taken.request.offset + taken.done;
    if (taken.request.direction == Direction::Read) {
        io_uring_prep_read(entry, taken.request.file, data, size, offset);
    } else {
        io_uring_prep_write(entry, taken.request.file, data, size, offset);
    }
    io_uring_sqe_set_data64(entry, slot);
    const int submitted = io_uring_submit(&m_ring);
    if (submitted < 0) {
        return {FailureReason::ReadError, -submitted, "io_uring_submit"};
    }
    taken.busy = true;
    return {};
}

Failure UringQueue::Submit(const Request& request) {
    for (std::size_t slot = 0; slot < m_slots.size(); ++slot) {
        if (!m_slots[slot].busy) {
            m_slots[slot].request = request;
            m_slots[slot].done = 0;
            return Start(slot);
        }
    }
    return {FailureReason::ReadError, EBUSY, "more requests than the queue's depth"};
}

Completion UringQueue::Wait() {
    for (;;) {
        io_uring_cqe* entry = nullptr;
        const int waited = io_uring_wait_cqe(&m_ring, &entry);
        if (waited == -EINTR) {
            continue;
        }
        if (waited < 0) {
            // The ring itself failed: nothing tells which request ended, so none is trusted.
            for (Slot& slot : m_slots) {
                if (slot.busy) {
                    slot.busy = false;
                    return {slot.request.tag, slot.done, -waited};
                }
            }
            return {0, 0, -waited};
        }
        const auto slot = static_cast<std::size_t>(io_uring_cqe_get_data64(entry));
        const int result = entry->res;
        io_uring_cqe_seen(&m_ring, entry);
        Slot& ended = m_slots[slot];
        if (result == -EINTR || result == -EAGAIN) {
            if (!Start(slot)) {
                continue;
            }
        }
        ended.busy = false;
        if (result < 0) {
            return {ended.request.tag, ended.done, -result};
        }
        ended.done += static_cast<std::size_t>(result);
        const bool whole = ended.done == ended.request.size;
        if (!whole && result > 0) {
            if (!Start(slot)) {
                continue;
            }
            return {ended.request.tag, ended.done, EIO};
        }
        const bool full = ended.request.direction == Direction::Write && !whole;
        return {ended.request.tag, ended.done, full ? ENOSPC : 0};
    }
}

}  // namespace io
