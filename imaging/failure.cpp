#include "failure.h"

namespace imaging {

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
    }
    return "unknown";
}

}  // namespace imaging
