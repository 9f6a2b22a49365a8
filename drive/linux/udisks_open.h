#pragma once

#include <string>

namespace drive {

// Asks udisks2 for a read-only descriptor of the block device at `path`, which polkit grants
// after asking the user for a password if it must. The call may wait that long. Returns the
// descriptor, or -1 with errno EACCES when access is refused or no udisks2 answers.
int OpenThroughUdisks(const std::string& path);

}  // namespace drive
