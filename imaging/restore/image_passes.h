#pragma once

#include <cstdint>
#include <string>

#include "failure.h"
#include "read/digest.h"
#include "restore/image_source.h"
#include "stage/stage_link.h"

namespace imaging {

// The passes over an image that come before anything is written, so a refusal writes nothing.

// Decodes `source` to its end once, keeping nothing, to find how many bytes it holds, for a form
// whose file does not record it (gzip): so an image too large for the card is refused before
// anything is written. Its progress runs over the file's bytes; Cancelled when the run is.
// `content`, where given, is fed every byte decoded.
error::Failure CountImageBytes(const StageLink& run, ImageSource& source, std::uint64_t& bytes,
                               Digest* content = nullptr);

// Reads the image file at `path` once as it lies and hashes it with `kind` into `hex`: for a
// checksum its publisher gave of the file. Its progress runs over the file's bytes; Cancelled
// when the run is.
error::Failure HashImageFile(const StageLink& run, const std::string& path, HashKind kind,
                             std::string& hex);

}  // namespace imaging
