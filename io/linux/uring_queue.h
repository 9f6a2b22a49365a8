#pragma once

#include <liburing.h>

#include <vector>

#include "io_queue.h"

namespace io {

// The kernel's own queue: requests go in and completions come out without a thread per request
// or a system call per transfer.
class UringQueue : public Queue {
public:
    // Fails with the kernel's reason where io_uring is not allowed (old kernels, containers).
    static error::Failure Open(std::size_t depth, std::unique_ptr<Queue>& queue);
    ~UringQueue() override;

    error::Failure Submit(const Request& request) override;
    Completion Wait() override;
    std::size_t Depth() const override { return m_slots.size(); }

private:
    explicit UringQueue(std::size_t depth) : m_slots(depth) {}
    error::Failure Start(std::size_t slot);

    // A request in flight and what of it has moved; a transfer the kernel ends short is asked
    // again for the rest, so every completion is whole as the interface promises.
    struct Slot {
        Request request;
        std::size_t done = 0;
        bool busy = false;
    };

    io_uring m_ring{};
    std::vector<Slot> m_slots;
};

}  // namespace io
