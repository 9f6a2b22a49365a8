#pragma once

#include <string>

namespace imaging {

// True when the image at `path`, or the folder it is written in, lies on the drive at `node`:
// writing that drive would overwrite its own source, and writing the image would change the
// drive being read.
bool ImageLiesOnDrive(const std::string& path, const std::string& node);

}  // namespace imaging
