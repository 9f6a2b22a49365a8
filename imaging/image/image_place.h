#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "drive.h"

namespace imaging {

// Whether the image at `path`, or the folder it is written in, lies on `drive`: writing that
// drive would overwrite its own source, and writing the image would change the drive being
// read. Told by the file systems open on the drive, or, where the drive cannot be opened here,
// by its volumes' mount points; Unknown where neither tells.
enum class ImagePlace { Elsewhere, OnDrive, Unknown };
ImagePlace WhereImageLies(const std::string& path, const drive::Drive& drive);

// The first of `images` that lies, or may lie, on one of `drives`, checked before several drives
// run at once: one drive's run alone would not look at the others' images.
struct ImageOnDrive {
    std::size_t image = 0;
    std::size_t drive = 0;
    ImagePlace place = ImagePlace::Elsewhere;
};
std::optional<ImageOnDrive> FindImageOnDrives(const std::vector<std::string>& images,
                                              const std::vector<drive::Drive>& drives);

// True when images written at `a` and at `b` would write a file in common: they are the same
// file, whatever names lead to it, or one is a side file of the other (IMAGE.sha256, IMAGE.bmap,
// ...).
bool ImagesShareAFile(const std::string& a, const std::string& b);

}  // namespace imaging
