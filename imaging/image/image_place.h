#pragma once

#include <string>

namespace imaging {

// True when the image at `path`, or the folder it is written in, lies on the drive at `node`:
// writing that drive would overwrite its own source, and writing the image would change the
// drive being read.
bool ImageLiesOnDrive(const std::string& path, const std::string& node);

// True when images written at `a` and at `b` would write a file in common: they are the same
// file, whatever names lead to it, or one is a side file of the other (IMAGE.sha256, IMAGE.bmap,
// ...).
bool ImagesShareAFile(const std::string& a, const std::string& b);

}  // namespace imaging
