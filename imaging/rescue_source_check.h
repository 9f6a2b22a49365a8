#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "drive_probe.h"
#include "failure.h"
#include "image_file.h"
#include "partition_layout.h"
#include "rescue_map.h"

namespace imaging {

// The line a map records of the drive it is of (see drive::DriveSignature).
std::string SourceSignature(drive::DriveHandle device);

// Whether a rescue continued from `map` reads the drive the map was made of, so that one image
// never mixes two cards: the drive named in the map must be this one, and a few areas the map
// calls finished, spread over the image, must hold on the drive what they hold in the image (the
// only check a map made by another tool allows). Areas a partitions-only `plan` changes are
// left out. ImageRefused, naming both drives, when they differ.
drive::Failure CheckSameSource(drive::DriveHandle device, std::size_t sectorSize,
                               const RescueMap& map, const PartitionsPlan* plan, ImageFile& image);

}  // namespace imaging
