#pragma once

#include <cstdint>

namespace imaging {

// Why a run ended Failed. None while a run goes on and after a success.
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
};

// A failure with the platform's error code for it (errno, GetLastError); 0 where the platform
// reported none, as when a target is refused by the program's own rules.
struct Failure {
    FailureReason reason = FailureReason::None;
    int error = 0;

    explicit operator bool() const { return reason != FailureReason::None; }
};

// A few words that name the reason, e.g. "read error"; "" for None.
const char* FailureReasonText(FailureReason reason);

}  // namespace imaging
