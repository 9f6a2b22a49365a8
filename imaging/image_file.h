#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "drive_probe.h"
#include "failure.h"
#include "target_folder.h"

namespace imaging {

// The side files' suffixes: the checksum file, and a rescue's map of unreadable areas.
inline constexpr const char* kChecksumSuffix = ".sha256";
inline constexpr const char* kMapSuffix = ".map";

// A small file that goes beside the image as IMAGE plus `suffix`, e.g. its checksum.
struct SideFile {
    std::string suffix;
    std::string content;
};

// The image a run writes. A new target is written in place. An existing one is never emptied:
// the run writes a new file beside it, which replaces it only once it is complete and on the
// disk, so a run that fails or is cancelled leaves the old image as it was. The target is held
// exclusively for the whole run, so two runs can never write one path at once. Side files are
// written under hidden names first and their names checked when the image is opened, so none can
// fail to take its place once the old image is gone.
class ImageFile {
public:
    ImageFile() = default;
    // Closes what is open; a replacement or side file that was not committed is removed.
    ~ImageFile();
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    // Opens the target at `path`, but only if it is (or becomes) a regular file that does not
    // live on the source drive: a device node, FIFO, socket or directory is never opened for
    // writing, and no file on the drive being read is created or changed. ImageInUse when
    // another run holds the target; ImageRefused when the target or one of the side files named
    // by `sideSuffixes` could not have its name in that folder.
    // FileTooLarge, before anything is created, when the file system holds no file of
    // `length` bytes (0: the length is not known ahead).
    drive::Failure Open(const std::string& path, drive::DriveHandle source,
                        const std::vector<std::string>& sideSuffixes, std::uint64_t length);

    // Appends `size` bytes, and keeps them moving to the disk.
    drive::Failure Write(const void* data, std::size_t size);

    // Appends `size` zero bytes as a hole, where the file system keeps holes.
    drive::Failure Skip(std::uint64_t size);

    // The image's length so far.
    std::uint64_t Length() const { return m_length; }

    // Brings the image and its side files to stable storage, then puts them all in place of what
    // the target and the side files' names held before.
    drive::Failure Commit(const std::vector<SideFile>& sideFiles);

    // The target's file name, as a checksum line names it.
    const std::string& Name() const { return m_name; }

private:
    drive::Failure WriteSideFile(const SideFile& side);
    // Removes the hidden files of this target that runs no longer running left behind.
    void RemoveLeftovers() const;

    TargetFolder m_folder;
    ImageHandle m_target;  // an existing target, held while its replacement is written
    ImageHandle m_image;   // the file being written
    std::uint64_t m_length = 0;
    bool m_endsInHole = false;  // the file's length is still to be set
    bool m_markedSparse = false;
    std::string m_name;
    std::string m_partialName;  // the replacement beside the target; empty: written in place
    // Side files written but not yet in place: their hidden and their final names.
    std::vector<std::pair<std::string, std::string>> m_sidePartials;
};

// The line `sha256sum -c` reads for an image named `name`.
std::string ChecksumLine(const std::string& hexDigest, const std::string& name);

// IMAGE.sha256: the file's line for `sha256sum -c`, and a comment line, which sha256sum skips,
// with the SHA-256 and length of the drive's content, e.g. "# drive: 3f2a... 31914983424 bytes".
std::string ChecksumFile(const std::string& fileHex, const std::string& name,
                         const std::string& driveHex, std::uint64_t driveBytes);

// The drive's line of a checksum file; false when it has none.
bool ReadDriveLine(const std::string& checksumFile, std::string& driveHex,
                   std::uint64_t& driveBytes);

}  // namespace imaging
