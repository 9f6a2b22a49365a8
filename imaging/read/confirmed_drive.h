#pragma once

#include "drive.h"
#include "drive_handle.h"
#include "failure.h"

namespace imaging {

// DriveChanged where the drive open at `handle` is not the one the user confirmed, as it was
// described to them: another disk answers at its node now, or it holds another length, or
// another serial. What was not known when it was confirmed (an identity of zeros, a length of
// 0) is not compared.
error::Failure CheckConfirmedDrive(drive::DriveHandle handle, const drive::Drive& confirmed);

}  // namespace imaging
