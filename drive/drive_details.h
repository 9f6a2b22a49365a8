#pragma once

#include <string>

#include "native_handle.h"

namespace drive {

// A few lines that tell the user which disk this is: its device node, vendor and model, bus,
// exact size in bytes and where its partitions are mounted.
std::string DescribeDrive(DriveHandle handle, const std::string& path);

}  // namespace drive
