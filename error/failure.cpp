#include "failure.h"

#include <system_error>

namespace error {

Failure SystemFailure(FailureReason reason) {
    return {reason, LastSystemError(), {}};
}

const char* FailureReasonText(FailureReason reason) {
    switch (reason) {
        case FailureReason::None:
            return "";
        case FailureReason::DriveNotOpened:
            return "drive did not open";
        case FailureReason::NotRemovable:
            return "drive is not removable";
        case FailureReason::DriveChanged:
            return "drive changed";
        case FailureReason::ImageRefused:
            return "image refused";
        case FailureReason::ImageInUse:
            return "image in use";
        case FailureReason::CapacityUnknown:
            return "drive size unknown";
        case FailureReason::ReadError:
            return "read error";
        case FailureReason::DriveEndedEarly:
            return "drive ended early";
        case FailureReason::WriteError:
            return "write error";
        case FailureReason::FlushFailed:
            return "flush failed";
        case FailureReason::ChecksumFailed:
            return "checksum failed";
        case FailureReason::Cancelled:
            return "cancelled";
        case FailureReason::WorkerNotStarted:
            return "worker did not start";
        case FailureReason::FileTooLarge:
            return "image too large for its file system";
        case FailureReason::ContentDiffers:
            return "drive content differs from the image";
        case FailureReason::DriveRemoved:
            return "drive removed";
        case FailureReason::TableUnusable:
            return "partition table unusable";
        case FailureReason::WriteProtected:
            return "card is write-protected: slide its lock switch to unlock it";
        case FailureReason::VolumeBusy:
            return "volume busy";
        case FailureReason::ImageTooLarge:
            return "image larger than the card";
        case FailureReason::ImageDamaged:
            return "image damaged";
        case FailureReason::NotConfirmed:
            return "not confirmed";
        case FailureReason::CardHoldsLess:
            return "card holds less than it reports";
        case FailureReason::DriveInUse:
            return "drive in use by the system";
        case FailureReason::ImageEmpty:
            return "image is empty";
        case FailureReason::ImageChanged:
            return "the image changed during the restore";
        case FailureReason::HeldByAnotherProgram:
            return "in use by another program";
    }
    return "unknown";
}

Failure InContext(Failure failure, const std::string& context) {
    const std::string said = !failure.message.empty() ? failure.message
                             : failure.error != 0 ? std::system_category().message(failure.error)
                                                  : std::string(FailureReasonText(failure.reason));
    failure.message = context + ": " + said;
    return failure;
}

std::string DescribeFailure(const Failure& failure) {
    std::string text = FailureReasonText(failure.reason);
    if (!failure.message.empty()) {
        return text + " (" + failure.message + ")";
    }
    if (failure.error != 0) {
        return text + " (" + std::system_category().message(failure.error) + ")";
    }
    return text;
}

}  // namespace error
