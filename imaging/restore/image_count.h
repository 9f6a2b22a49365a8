#pragma once

#include <cstdint>

#include "failure.h"
#include "restore/image_source.h"
#include "run/copy_job.h"

namespace imaging {

// Decodes `source` to its end once, keeping nothing, to find how many bytes it holds, for a form
// whose file does not record it (gzip): so an image too large for the card is refused before
// anything is written. Its progress runs over the file's bytes; Cancelled when the run is.
error::Failure CountImageBytes(const StageLink& run, ImageSource& source, std::uint64_t& bytes);

}  // namespace imaging
