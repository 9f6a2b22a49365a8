#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "drive_probe.h"
#include "image_handle.h"
#include "scoped_handle.h"

namespace imaging {

// Opens the image at `path` for writing and empties it, but only if it is (or becomes) a regular
// file that does not live on the source drive: a device node, FIFO, socket or directory is never
// opened for writing, and a file on the drive being read is never created or truncated.
// 1 on success with `image` set; 0 with nothing written and nothing left open.
int CreateImageFile(const std::string& path, drive::DriveHandle source, ImageHandle& image);

// Writes all `size` bytes at the image's current position; false on any error, including a
// full volume.
bool WriteImage(ImageHandle image, const void* data, std::size_t size);

// Called after each chunk with the image's length before and after it: keeps the data already
// written moving to the disk, so the page cache does not fill with the image and the final
// flush is short. False when data written earlier failed to reach the disk.
bool PaceWriteback(ImageHandle image, std::uint64_t lengthBefore, std::uint64_t lengthAfter);

// Flushes the image to stable storage and closes it; 1 only when both succeed.
int FinishImageFile(ImageHandle image);

// Closes the image without flushing, on a failed run.
void CloseImageFile(ImageHandle image);

struct ImageTraits {
    using Handle = ImageHandle;
    static ImageHandle Invalid() { return kInvalidImageHandle; }
    static void Close(ImageHandle image) { CloseImageFile(image); }
};

using ScopedImage = drive::ScopedHandle<ImageTraits>;

}  // namespace imaging
