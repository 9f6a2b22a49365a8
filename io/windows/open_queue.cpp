#include "io_queue.h"
#include "thread_queue.h"

namespace io {

// Drives are opened without FILE_FLAG_OVERLAPPED, so a pool of threads carries the depth.
std::unique_ptr<Queue> OpenQueue(std::size_t depth, QueueChoice& choice) {
    choice = {"threads", {}};
    return std::make_unique<ThreadQueue>(depth);
}

}  // namespace io
