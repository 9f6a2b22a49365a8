#include <cstdlib>
#include <cstring>

#include "io_queue.h"
#include "thread_queue.h"
#include "uring_queue.h"

namespace io {

std::unique_ptr<Queue> OpenQueue(std::size_t depth, QueueChoice& choice) {
    const char* const forced = std::getenv("KALVOR_IO");
    if (forced != nullptr && std::strcmp(forced, "threads") == 0) {
        choice = {"threads", {}};
        return std::make_unique<ThreadQueue>(depth);
    }
    std::unique_ptr<Queue> queue;
    const error::Failure failure = UringQueue::Open(depth, queue);
    if (!failure) {
        choice = {"io_uring", {}};
        return queue;
    }
    choice = {"threads", "io_uring is not available here (" +
                             std::string(std::strerror(failure.error)) +
                             "): reads and writes go through threads"};
    return std::make_unique<ThreadQueue>(depth);
}

}  // namespace io
