#include <algorithm>

#include "drive_io.h"
#include "drive_reads.h"

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

// Reads of a physical drive bypass the file cache.
void ForgetCachedReads(DriveHandle /*handle*/) {}

void AdviseSequentialRead(DriveHandle /*handle*/) {}

void KeepReadingAhead(DriveHandle /*handle*/, std::uint64_t /*before*/, std::uint64_t /*after*/) {}

}  // namespace drive
