#include <unistd.h>

#include <cerrno>

#include "positioned_io.h"

namespace io {

Completion TransferNow(const Request& request) {
    Completion completion{request.tag, 0, 0};
    while (completion.done < request.size) {
        std::byte* const at = request.data + completion.done;
        const std::size_t left = request.size - completion.done;
        const auto offset = static_cast<off_t>(request.offset + completion.done);
        const ssize_t moved = request.direction == Direction::Read
                                  ? ::pread(request.file, at, left, offset)
                                  : ::pwrite(request.file, at, left, offset);
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        if (moved < 0) {
            completion.error = errno;
            break;
        }
        if (moved == 0) {
            // A write that takes nothing has no room; a read that gets nothing met the end.
            completion.error = request.direction == Direction::Write ? ENOSPC : 0;
            break;
        }
        completion.done += static_cast<std::size_t>(moved);
    }
    return completion;
}

}  // namespace io
