#pragma once

#include "drive_probe.h"
#include "scoped_handle.h"

namespace drive {

struct DriveTraits {
    using Handle = DriveHandle;
    static DriveHandle Invalid() { return kInvalidDriveHandle; }
    static void Close(DriveHandle handle) { CloseDrive(handle); }
};

// An open drive that is closed on every path out of the scope that opened it.
using ScopedDrive = ScopedHandle<DriveTraits>;

}  // namespace drive
