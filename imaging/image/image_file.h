#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "drive_probe.h"
#include "failure.h"
#include "image/side_suffixes.h"
#include "image/target_folder.h"
#include "native_file.h"
#include "stage/blocks.h"

namespace imaging {

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
    error::Failure Open(const std::string& path, drive::DriveHandle source,
                        const std::vector<std::string>& sideSuffixes, std::uint64_t length);

    // Opens the target for a rescue as Open does, but an existing target with the map of an
    // earlier rescue beside it is continued in place rather than replaced: `earlierMap` then
    // holds the map's text, else it is empty. A target continued in place must be the user's own
    // file, not a link. Nothing of an existing target changes until the caller, having checked
    // the map, calls Reserve. A map longer than `longestMap` bytes is no map of this drive's.
    error::Failure OpenToRescue(const std::string& path, drive::DriveHandle source,
                                std::uint64_t length, std::uint64_t longestMap,
                                std::string& earlierMap);

    // Makes a file opened to rescue at least `length` bytes long; what is not written yet reads
    // as zeros.
    error::Failure Reserve(std::uint64_t length);

    // Reads `size` bytes at `offset` of a file opened to rescue, as far as the file reaches;
    // `got` tells how many.
    error::Failure ReadAt(std::uint64_t offset, std::byte* data, std::size_t size,
                          std::size_t& got);

    // Writes `size` bytes at `offset` of a file opened to rescue.
    error::Failure WriteAt(std::uint64_t offset, const std::byte* data, std::size_t size);

    // WriteAt, for bytes where nothing was written yet: in a file this run created, zero blocks
    // are left as the holes they are.
    error::Failure FillAt(std::uint64_t offset, const std::byte* data, std::size_t size);

    // True when the image is written under its own name, new or continued, rather than beside
    // an old image that it replaces at Commit.
    bool InPlace() const { return m_partialName.empty(); }

    // Brings what was written to stable storage, then puts `side` in place at once, so that a
    // side file of an image written in place is true for it whenever the run stops.
    error::Failure SaveSideFile(const SideFile& side);

    // Removes the side file IMAGE plus `suffix`, which would no longer be true.
    void RemoveSideFile(const std::string& suffix) const;

    // The SHA-256 of the file as written, read back from it.
    error::Failure ReadBackSha256(std::string& hex);

    // Appends `size` bytes, and keeps them moving to the disk.
    error::Failure Write(const void* data, std::size_t size);

    // For writes at their own offsets, several at once (a raw image): the file being written,
    // and a second description of it whose writes go straight to the disk, where the file
    // system allows (false where it does not: tmpfs).
    io::NativeFile Native() const { return m_image.Get(); }
    bool OpenDirectWrites(ImageHandle& direct);

    // After writes at offsets from `before` to `after` through the cache: keeps them moving to
    // the disk, so the cache never holds gigabytes of image.
    error::Failure KeepMoving(std::uint64_t before, std::uint64_t after) {
        return PaceWriteback(m_image, before, after);
    }

    // Brings what was written so far to stable storage.
    error::Failure FlushData() { return Flush(m_image); }

    // After writes at offsets: the image is `length` bytes long, what was not written a hole.
    void WrittenAt(std::uint64_t length) {
        m_length = length;
        m_endsInHole = true;
    }

    // The image's length so far.
    std::uint64_t Length() const { return m_length; }

    // Brings the image and its side files to stable storage, then puts them all in place of what
    // the target and the side files' names held before. A side file of an earlier image that
    // this one does not have is removed: it would tell of another image.
    error::Failure Commit(const std::vector<SideFile>& sideFiles);

    // After Commit: puts a new version of one side file in place, as when a verify has ended.
    error::Failure UpdateSideFile(const SideFile& side);

    // The target's file name, as a checksum line names it.
    const std::string& Name() const { return m_name; }

private:
    // The checks every open makes before it creates anything.
    error::Failure Prepare(const std::string& path, drive::DriveHandle source,
                           const std::vector<std::string>& sideSuffixes, std::uint64_t length);
    error::Failure CreateReplacement();
    error::Failure WriteSideFile(const SideFile& side);
    // Writes `side` under a hidden name and puts it in place at once.
    error::Failure PlaceSideFile(const SideFile& side);
    // Removes the hidden files of this target that runs no longer running left behind.
    void RemoveLeftovers() const;

    TargetFolder m_folder;
    ImageHandle m_target;  // an existing target, held while its replacement is written
    ImageHandle m_image;   // the file being written
    std::uint64_t m_length = 0;
    bool m_endsInHole = false;  // the file's length is still to be set
    bool m_created = false;     // by this run: holes in it read as zeros
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

// The comment line of a checksum file of an image of the partitions only.
std::string PartitionsOnlyLine(const std::string& table, std::uint64_t imaged);

// A checksum file holds a few lines: one per file and a few comments.
inline constexpr std::uint64_t kLongestChecksumFile = 64 << 10;

// The drive's line of a checksum file; false when it has none.
bool ReadDriveLine(const std::string& checksumFile, std::string& driveHex,
                   std::uint64_t& driveBytes);

// The digest of the file's own line of a checksum file (the first line that is not a comment);
// false when it has none.
bool ReadFileLine(const std::string& checksumFile, std::string& fileHex);

}  // namespace imaging
