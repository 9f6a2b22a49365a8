#pragma once

#include <string>

#include "failure.h"

namespace drive {

// Asks udisks2 for a read-only descriptor of the block device at `path`, which polkit grants
// after asking the user for a password if it must. The call may wait that long. Stores the
// descriptor in `fd` (-1 on failure); DriveNotOpened carries udisks2's or the bus's own words
// when access is refused or no udisks2 answers.
error::Failure OpenThroughUdisks(const std::string& path, int& fd);

}  // namespace drive
