#pragma once

#include <string>

#include "failure.h"

namespace drive {

// How udisks2 is asked to open a block device: "r" or "rw", and the open flags it is to add
// (O_EXCL, O_DIRECT; 0 for none).
struct UdisksOpen {
    const char* mode = "r";
    int flags = 0;
};

// Asks udisks2 for a descriptor of the block device at `path`, which polkit grants after asking
// the user for a password if it must. The call may wait that long. Stores the descriptor in `fd`
// (-1 on failure); DriveNotOpened carries udisks2's or the bus's own words when access is
// refused or no udisks2 answers.
error::Failure OpenThroughUdisks(const std::string& path, int& fd, UdisksOpen how = {});

// Asks udisks2 to unmount the file system on the block device at `path`, with polkit allowed
// to ask the user. DriveNotOpened with udisks2's words when it will not (busy, refused).
error::Failure UnmountThroughUdisks(const std::string& path);

}  // namespace drive
