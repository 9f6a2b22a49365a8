#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "failure.h"
#include "native_file.h"

namespace io {

enum class Direction { Read, Write };

// One read or write of `size` bytes at `offset` of `file`; `tag` is the caller's, handed back
// with its completion. `data` stays the caller's and must outlive the request.
struct Request {
    Direction direction = Direction::Read;
    NativeFile file{};
    std::byte* data = nullptr;
    std::size_t size = 0;
    std::uint64_t offset = 0;
    std::uint64_t tag = 0;
};

// A request's end: `done` bytes moved. A completion is whole (`done` equals the request's size)
// unless `error` (errno; GetLastError on Windows) says why not, or a read met the file's end.
struct Completion {
    std::uint64_t tag = 0;
    std::size_t done = 0;
    int error = 0;
};

// Several reads and writes in flight at once, each ending in its own time. One thread owns a
// queue: it submits and it waits; completions come back in the order they end, not in the order
// they were asked for. A queue is destroyed only with nothing in flight.
class Queue {
public:
    Queue() = default;
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;
    virtual ~Queue() = default;

    // Starts `request`; never more than Depth() at once.
    virtual error::Failure Submit(const Request& request) = 0;

    // Waits for the next request to end; only while one is in flight.
    virtual Completion Wait() = 0;

    virtual std::size_t Depth() const = 0;
};

// What a run reports of its queues: the backend in use, and why the faster one was not.
struct QueueChoice {
    std::string backend;   // "io_uring" or "threads"
    std::string fellBack;  // empty, or why the threads were used where io_uring was wanted
};

// A queue of `depth` requests: io_uring where the kernel allows it; else, or when the
// environment's KALVOR_IO is "threads", a pool of `depth` threads each doing one request at a
// time. Never fails: the threads are always there.
std::unique_ptr<Queue> OpenQueue(std::size_t depth, QueueChoice& choice);

}  // namespace io
