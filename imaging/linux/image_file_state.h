#pragma once

#include <string>
#include <utility>
#include <vector>

#include "unique_fd.h"

namespace imaging {

// The image is an open file descriptor of a regular file.
using ImageHandle = int;

inline constexpr ImageHandle kInvalidImageHandle = -1;

struct ImageFileState {
    drive::UniqueFd directory;  // O_PATH, the target's directory; every name is taken in it
    drive::UniqueFd target;     // an existing target, locked while a replacement is written
    drive::UniqueFd image;      // the file being written, locked when it is the target itself
    std::string name;
    std::string partialName;  // the replacement beside the target; empty: written in place
    // Side files written but not yet put in place: their partial and their final names.
    std::vector<std::pair<std::string, std::string>> sidePartials;
};

}  // namespace imaging
