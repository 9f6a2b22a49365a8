#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "drive_probe.h"
#include "failure.h"
#include "image/image_file.h"
#include "layout/partition_layout.h"
#include "rescue/rescue_map.h"

namespace imaging {

// The line a map records of the drive it is of, e.g.
// "bytes=31914983424; bus=SD/MMC; serial=0x1a2b3c4d; name=SD32G".
std::string SourceMark(drive::DriveHandle device);

// Whether a rescue continued from `map` reads the drive the map was made of, so that one image
// never mixes two cards. The drive must be as long as the map's; a card that names its own serial
// (an SD or MMC card in a slot) must name the map's; and a few areas the map calls finished,
// spread over the image, must hold on the drive what they hold in the image, the one check a
// map made by another tool allows, and the one that tells cards apart in a USB reader, which
// gives the reader's serial rather than the card's. Areas a partitions-only `plan` changes are
// left out. ImageRefused, naming both drives, when they differ.
error::Failure CheckSameSource(drive::DriveHandle device, std::size_t sectorSize,
                               const RescueMap& map, const PartitionsPlan* plan, ImageFile& image);

}  // namespace imaging
