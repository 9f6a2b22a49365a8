#pragma once

#include <cstdint>
#include <string>

#include "drive_handle.h"
#include "drive_probe.h"
#include "failure.h"
#include "stage/stage_link.h"

namespace imaging {

// Reads the drive of `total` bytes and the image at `imagePath` at once, and compares each with
// its line of the image's checksum file. Only the drive and the image are read; the image and
// its files are never opened for writing. A match needs both: the drive's bytes and the image
// file each equal to their line. A drive the length of the image's partitions-only plan is
// compared as that image took it. The drive must be `expected`.
error::Failure VerifyAgainstChecksumFile(const StageLink& run, const std::string& imagePath,
                                         drive::DriveHandle device, drive::DriveIdentity expected,
                                         std::uint64_t total);

}  // namespace imaging
