#pragma once

#include <cstdint>
#include <string>

namespace drive {

// Why a run, or a step of one, failed. None while a run goes on and after a success.
enum class FailureReason : std::uint32_t {
    None = 0,
    DriveNotOpened,
    NotRemovable,
    DriveChanged,
    ImageRefused,
    ImageInUse,
    CapacityUnknown,
    ReadError,
    DriveEndedEarly,
    WriteError,
    FlushFailed,
    ChecksumFailed,
    Cancelled,
    WorkerNotStarted,
    FileTooLarge,
    ContentDiffers,
    DriveRemoved,
};

// The one error type of the drive and imaging layers: the reason, the platform's code captured
// where the call failed (errno, GetLastError; 0 where the program's own rules refused), and the
// service's own words where a service answered (udisks2: its D-Bus error name and message).
struct Failure {
    FailureReason reason = FailureReason::None;
    int error = 0;
    std::string message;

    explicit operator bool() const { return reason != FailureReason::None; }
};

// A failure of `reason` with the platform's code of the call that has just failed on this thread.
Failure SystemFailure(FailureReason reason);

// A few words that name the reason, e.g. "read error"; "" for None.
const char* FailureReasonText(FailureReason reason);

// The reason with what the platform or the service said, e.g. "read error (Input/output error)"
// or "drive did not open (not authorized: org.freedesktop.PolicyKit1.Error.NotAuthorized)".
std::string DescribeFailure(const Failure& failure);

}  // namespace drive
