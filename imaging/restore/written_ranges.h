#pragma once

#include <string>

#include "read/byte_ranges.h"
#include "restore/image_facts.h"

namespace imaging {

// What a restore reads of the image and writes on the card: all of it (kEverything); or, where
// only some of its blocks go on the card, the table area and those blocks: the ranges its block
// map maps, or with `skipEmpty` a raw image's data extents (its holes are zeros, which would not
// be written anyway). Ranges a little apart are read as one: the writer leaves out what lies
// between them all the same.
ByteRanges WrittenRanges(const std::string& path, const ImageFacts& facts, bool skipEmpty);

}  // namespace imaging
