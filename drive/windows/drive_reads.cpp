#include <algorithm>

#include "drive_io.h"
#include "drive_reads.h"
#include "thread_queue.h"

namespace drive {

using error::Failure;
using error::FailureReason;
using error::SystemFailure;

Failure ReadDrive(DriveHandle handle, void* buffer, std::size_t size, std::uint64_t offset,
                  std::size_t& got) {
    DWORD read = 0;
    const bool succeeded =
        TheDriveIo().Read(handle, buffer, static_cast<DWORD>(size), offset, read);
    got = succeeded ? read : 0;
    return succeeded ? Failure{} : SystemFailure(FailureReason::ReadError);
}

// Each read through the drive calls, so a drive the tests put in their place is read as any
// other; the handle is not opened for overlapped I/O, so threads carry the depth.
std::unique_ptr<io::Queue> OpenDriveReadQueue(std::size_t depth, io::QueueChoice& choice) {
    choice = {"threads", {}};
    return std::make_unique<io::ThreadQueue>(depth, [](const io::Request& request) {
        io::Completion completion{request.tag, 0, 0};
        while (completion.done < request.size) {
            const std::size_t left = request.size - completion.done;
            DWORD got = 0;
            if (!TheDriveIo().Read(request.file, request.data + completion.done,
                                   static_cast<DWORD>(std::min<std::size_t>(left, 1 << 30)),
                                   request.offset + completion.done, got)) {
                const DWORD error = ::GetLastError();
                completion.error = error == ERROR_HANDLE_EOF ? 0 : static_cast<int>(error);
                break;
            }
            if (got == 0) {
                break;
            }
            completion.done += got;
        }
        return completion;
    });
}

// Raw drive handles are not cached by the platform: the drive's own handle reads direct.
DirectReads::DirectReads(DriveHandle handle) : m_reads(handle), m_direct(true) {}

DirectReads::~DirectReads() = default;

// Raw drive handles are not cached by the platform.
Failure ReadDriveDirect(DriveHandle handle, void* buffer, std::size_t size, std::uint64_t offset,
                        std::size_t& got) {
    return ReadDrive(handle, buffer, size, offset, got);
}

// Raw drive handles are not cached by the platform, so each read asks for exactly one sector.
Failure ReadUntilBadSector(DriveHandle handle, void* buffer, std::uint64_t offset, std::size_t size,
                           std::size_t sectorSize, std::size_t& done) {
    auto* bytes = static_cast<char*>(buffer);
    done = 0;
    while (done < size) {
        const auto piece = static_cast<DWORD>(std::min(sectorSize, size - done));
        DWORD got = 0;
        if (!TheDriveIo().Read(handle, bytes + done, piece, offset + done, got)) {
            return SystemFailure(FailureReason::ReadError);
        }
        if (got != piece) {
            return {FailureReason::ReadError, ERROR_HANDLE_EOF, {}};
        }
        done += piece;
    }
    return {};
}

bool MeansDriveGone(int error) {
    return error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_NOT_READY ||
           error == ERROR_NO_MEDIA_IN_DRIVE || error == ERROR_DEV_NOT_EXIST;
}

bool MeansMalformedRequest(int error) {
    return error == ERROR_INVALID_PARAMETER;
}

// Reads of a physical drive bypass the file cache.
void ForgetCachedReads(DriveHandle /*handle*/) {}

void AdviseSequentialRead(DriveHandle /*handle*/) {}

void KeepReadingAhead(DriveHandle /*handle*/, std::uint64_t /*before*/, std::uint64_t /*after*/) {}

}  // namespace drive
