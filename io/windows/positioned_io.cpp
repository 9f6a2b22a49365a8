#include <windows.h>

#include "positioned_io.h"

namespace io {

// On a handle opened without FILE_FLAG_OVERLAPPED, the OVERLAPPED structure only carries the
// offset: the call returns once the transfer has ended.
Completion TransferNow(const Request& request) {
    Completion completion{request.tag, 0, 0};
    while (completion.done < request.size) {
        const std::uint64_t offset = request.offset + completion.done;
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const std::size_t left = request.size - completion.done;
        const DWORD ask = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        DWORD moved = 0;
        const BOOL ok =
            request.direction == Direction::Read
                ? ReadFile(request.file, request.data + completion.done, ask, &moved, &at)
                : WriteFile(request.file, request.data + completion.done, ask, &moved, &at);
        if (!ok) {
            const DWORD error = GetLastError();
            completion.error = error == ERROR_HANDLE_EOF ? 0 : static_cast<int>(error);
            break;
        }
        if (moved == 0) {
            completion.error = request.direction == Direction::Write ? ERROR_DISK_FULL : 0;
            break;
        }
        completion.done += moved;
    }
    return completion;
}

}  // namespace io
