#pragma once

#include <string>

#include "drive.h"

namespace imaging {

// Whether the image at `path`, or the folder it is written in, lies on `drive`: writing that
// drive would overwrite its own source, and writing the image would change the drive being
// read. Told by the file systems open on the drive, or, where the drive cannot be opened here,
// by its volumes' mount points; Unknown where neither tells.
enum class ImagePlace { Elsewhere, OnDrive, Unknown };
ImagePlace WhereImageLies(const std::string& path, const drive::Drive& drive);

// True when images written at `a` and at `b` would write a file in common: they are the same
// file, whatever names lead to it, or one is a side file of the other (IMAGE.sha256, IMAGE.bmap,
// ...).
bool ImagesShareAFile(const std::string& a, const std::string& b);

}  // namespace imaging
