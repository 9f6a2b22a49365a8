#include "read/confirmed_drive.h"

#include "drive_details.h"
#include "drive_probe.h"
#include "outcome/numbers.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

Failure CheckConfirmedDrive(drive::DriveHandle handle, const drive::Drive& confirmed) {
    if (confirmed.identity != drive::DriveIdentity{} &&
        drive::QueryDriveIdentity(handle) != confirmed.identity) {
        return {FailureReason::DriveChanged, 0, "another disk answers at " + confirmed.node};
    }
    if (confirmed.length == 0) {
        return {};
    }
    const std::uint64_t length = drive::DriveCapacity(handle);
    const std::string serial = drive::DescribeOpenDrive(handle, confirmed.node).serial;
    if (length == confirmed.length && serial == confirmed.serial) {
        return {};
    }
    return {FailureReason::DriveChanged, 0,
            "not the drive that was confirmed: it now holds " + GroupedNumber(length) + " bytes" +
                (serial.empty() ? "" : ", serial " + serial)};
}

}  // namespace imaging
