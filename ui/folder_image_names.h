#pragma once

#include <optional>
#include <string>
#include <vector>

#include "drive.h"

namespace ui {

// Where several cards read at once put their images: `target` is a folder, or an image's name in
// one whose extension (".img.zst", ".gz", ".img") every image takes; ".img" for a bare folder. Each
// image is
// "<model>-<serial>" plus that extension, with what a file name cannot hold made '_'. A name
// already taken, by a file there or by an earlier card, gets a number ("-2", "-3", ...), so no
// file is ever replaced. nullopt when `target` leads to no folder.
std::optional<std::vector<std::string>> ImagePathsInFolder(const std::string& target,
                                                           const std::vector<drive::Drive>& cards);

}  // namespace ui
