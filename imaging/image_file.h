#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "drive_probe.h"
#include "failure.h"
#include "image_file_state.h"

namespace imaging {

class ImageDigest;

// A small file that goes beside the image as IMAGE plus `suffix`, e.g. its checksum.
struct SideFile {
    std::string suffix;
    std::string content;
};

// The image a run writes. A new target is written in place. An existing one is never emptied:
// the run writes a new file beside it, which replaces it only once it is complete and on the
// disk, so a run that fails or is cancelled leaves the old image as it was. The target is held
// exclusively for the whole run, so two runs can never write one path at once.
class ImageFile {
public:
    ImageFile() = default;
    // Closes what is open; a replacement that was not committed is removed.
    ~ImageFile();
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    // Opens the target at `path`, but only if it is (or becomes) a regular file that does not
    // live on the source drive: a device node, FIFO, socket or directory is never opened for
    // writing, and no file on the drive being read is created or changed. ImageInUse when
    // another run holds the target.
    Failure Open(const std::string& path, drive::DriveHandle source);

    // Writes all `size` bytes at the image's current position; false on any error, including
    // a full volume, with the platform's code in LastSystemError.
    bool Write(const void* data, std::size_t size);

    // Called after each chunk with the image's length before and after it: keeps the data
    // already written moving to the disk, so the page cache does not fill with the image and
    // the final flush is short. False when data written earlier failed to reach the disk.
    bool PaceWriteback(std::uint64_t lengthBefore, std::uint64_t lengthAfter, ImageDigest& digest);

    // Brings the image and its side files to stable storage, then puts them all in place of
    // what the target and the side files' names held before.
    Failure Commit(const std::vector<SideFile>& sideFiles);

    // The file being written, for reading it back.
    ImageHandle Handle() const;

    // The target's file name, as a checksum line names it.
    const std::string& Name() const { return m_state.name; }

private:
    ImageFileState m_state;
};

// The line `sha256sum -c` reads for an image named `name`.
std::string ChecksumLine(const std::string& hexDigest, const std::string& name);

}  // namespace imaging
