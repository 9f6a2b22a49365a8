#pragma once

#include <cstdint>
#include <set>

#include "drive_handle.h"

namespace drive {

// The file systems that live on the open drive: its own, its partitions', and those of anything
// stacked on them (LUKS, LVM, md), each by the device number a file on it reports (st_dev), so a
// file or folder can be told to live on the drive without trusting its path. Linux only: Windows
// tells a file's drive by the disk number of its volume, where the image's folder is opened.
std::set<std::uint64_t> FileSystemsOn(DriveHandle drive);

}  // namespace drive
