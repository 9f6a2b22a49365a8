#pragma once

#include <sys/types.h>
#include <set>

#include "unique_fd.h"

namespace imaging {

// An open file descriptor of a regular file.
using ImageHandle = drive::UniqueFd;

struct FolderState {
    drive::UniqueFd folder;             // O_PATH; every name is taken in it
    std::set<dev_t> sourceFilesystems;  // file systems on the source drive and its partitions
};

}  // namespace imaging
