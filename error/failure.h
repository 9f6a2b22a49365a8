#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace error {

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
    TableUnusable,
    WriteProtected,
    VolumeBusy,
    ImageTooLarge,
    ImageDamaged,
    NotConfirmed,
    CardHoldsLess,
    DriveInUse,
    ImageEmpty,
    ImageChanged,
    HeldByAnotherProgram,
};

// The one error type of the drive and imaging layers: the reason, the platform's code captured
// where the call failed (errno, GetLastError; 0 where the program's own rules refused), the
// service's own words where a service answered (udisks2: its D-Bus error name and message) or
// the context added as it rose ("renaming card.img.sha256: ..."), and where on the drive it
// happened, for a failure at a byte (the first bad sector).
struct Failure {
    Failure() = default;
    Failure(FailureReason why, int code, std::string said = {},
            std::optional<std::uint64_t> where = std::nullopt)
        : reason(why), error(code), message(std::move(said)), at(where) {}

    FailureReason reason = FailureReason::None;
    int error = 0;
    std::string message;
    std::optional<std::uint64_t> at;

    explicit operator bool() const { return reason != FailureReason::None; }
};

// A failure of `reason` with the platform's code of the call that has just failed on this thread.
Failure SystemFailure(FailureReason reason);

// `failure` with `context` in front of what it said: "card.img.map line 7: not a mapfile line".
Failure InContext(Failure failure, const std::string& context);

// The platform's code for the last failed call on this thread (errno, GetLastError).
int LastSystemError();

// A few words that name the reason, e.g. "read error"; "" for None.
const char* FailureReasonText(FailureReason reason);

// The reason with what the platform or the service said, e.g. "read error (Input/output error)"
// or "drive did not open (not authorized: org.freedesktop.PolicyKit1.Error.NotAuthorized)".
std::string DescribeFailure(const Failure& failure);

}  // namespace error
