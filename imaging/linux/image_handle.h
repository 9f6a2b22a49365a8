#pragma once

#include <cstdint>
#include <set>

#include "unique_fd.h"

namespace imaging {

// An open file descriptor of a regular file.
using ImageHandle = drive::UniqueFd;

struct FolderState {
    drive::UniqueFd folder;                     // O_PATH; every name is taken in it
    std::set<std::uint64_t> sourceFilesystems;  // see drive::FileSystemsOn
};

}  // namespace imaging
