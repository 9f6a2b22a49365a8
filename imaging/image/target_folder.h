#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "drive_probe.h"
#include "failure.h"
#include "image_handle.h"
#include "read/byte_ranges.h"

namespace imaging {

// The folder an image goes into, and the few file-system calls that writing an image and putting
// it in place need; each platform has its own. Every name is a file name inside the folder.
class TargetFolder {
public:
    TargetFolder() = default;
    TargetFolder(const TargetFolder&) = delete;
    TargetFolder& operator=(const TargetFolder&) = delete;

    // Holds the folder at `path`. Refused when it lives on the source drive or a partition of it,
    // or names a device rather than a folder, so no file on the drive being read is ever made.
    error::Failure Open(const std::filesystem::path& path, drive::DriveHandle source);

    // Whether a file called `name` can exist here: the file system's limit on a name, and the
    // platform's on a whole path.
    bool NameFits(const std::string& name) const;

    // A new regular file, created only if nothing has that name, held so that no other run can
    // write it. A name that exists: ImageRefused with the platform's "exists" code.
    error::Failure CreateNew(const std::string& name, ImageHandle& file) const;

    // The existing `name`, but only a regular file off the source that the user may write; held so
    // that no other run can write it, never emptied. ImageInUse when another run holds it.
    error::Failure HoldExisting(const std::string& name, ImageHandle& held) const;

    // Whether the file `held` under `name` may be written in place rather than replaced: `name`
    // is the file itself, not a link to one, and it belongs to the user (or the administrator).
    // A link planted in a shared folder would otherwise lead the writes into another's file.
    error::Failure MayWriteInPlace(const std::string& name, const ImageHandle& held) const;

    // A new file that is to take the place of `held`: it takes its permissions (and its owner
    // where the run may give it).
    error::Failure CreateReplacement(const std::string& name, const ImageHandle& held,
                                     ImageHandle& file) const;

    // Puts `from` in place of `to`, whatever `to` was; WriteError when it cannot.
    error::Failure Replace(const std::string& from, const std::string& to) const;

    void Remove(const std::string& name) const;

    // ReadSideFile for the file `name` in this folder.
    error::Failure ReadSideFile(const std::string& name, std::uint64_t limit,
                                std::string& content) const;

    // The names of the folder's entries.
    std::vector<std::string> Names() const;

    // Removes the regular file `name` unless a run holds it.
    void RemoveIfUnused(const std::string& name) const;

    // Brings the folder's names to stable storage.
    error::Failure Sync() const;

    // The largest file the folder's file system holds: FAT's 4 GiB less a byte, else unlimited.
    std::uint64_t LargestFile() const;

private:
    FolderState m_state;
};

// Writes all `size` bytes at the file's current position; WriteError (a full volume too), or
// FileTooLarge where the file system holds no larger file.
error::Failure WriteAll(const ImageHandle& file, const void* data, std::size_t size);

// The file's length in bytes.
error::Failure LengthOf(const ImageHandle& file, std::uint64_t& length);

// Moves the file's position to `offset` bytes from its start.
error::Failure PositionAt(const ImageHandle& file, std::uint64_t offset);

// Reads up to `size` bytes at the file's position; `got` 0 at its end.
error::Failure ReadSome(const ImageHandle& file, void* data, std::size_t size, std::size_t& got);

// The stretches of `file`'s first `length` bytes that hold data, as its file system keeps them;
// the rest are holes, which read as zeros. All of it where the file system cannot tell.
ByteRanges DataExtents(const ImageHandle& file, std::uint64_t length);

// Brings what was written to the file so far to stable storage; FlushFailed when it cannot.
error::Failure Flush(const ImageHandle& file);

// Sets the file's length, as when it ends in a hole.
error::Failure SetLength(const ImageHandle& file, std::uint64_t length);

// Asks the file system to keep the ranges never written as holes, where it must be asked. Where
// it keeps none (FAT), the gap reads as zeros all the same.
void MarkSparse(const ImageHandle& file);

// Called after each write with the file's length before and after it: keeps what was written
// moving to the disk, so the page cache never fills with the image and the final flush is short.
error::Failure PaceWriteback(const ImageHandle& file, std::uint64_t lengthBefore,
                             std::uint64_t lengthAfter);

// Brings the file to stable storage and closes it; FlushFailed when either fails.
error::Failure FlushAndClose(ImageHandle& file);

// True when the file at `path`, wherever its name leads, lives on `drive`.
bool FileIsOn(const std::filesystem::path& path, drive::DriveHandle drive);

// A second description of `file` whose writes bypass the platform's cache; false where the file
// system or platform refuses that.
bool OpenForDirectWrites(const ImageHandle& file, ImageHandle& direct);

// A second description of `file` whose reads bypass the platform's cache; false where the file
// system or platform refuses that.
bool OpenForDirectReads(const ImageHandle& file, ImageHandle& direct);

// Where the platform refuses to replace a file that is open, lets go of the held old target for
// the moment of the replacement; elsewhere it is kept to the end.
void LetGoBeforeReplace(ImageHandle& held);

// True when `failure` says a file of that name already exists.
bool NameTaken(const error::Failure& failure);

// Reads the side file at `path` whole into `content`: only a regular file of at most `limit`
// bytes, opened without following a link and without waiting, so a FIFO or a link to a device
// planted there can neither hang the run nor fill its memory. No file of that name: no failure,
// `content` empty. ImageRefused, naming the file, for anything else that cannot be read.
error::Failure ReadSideFile(const std::filesystem::path& path, std::uint64_t limit,
                            std::string& content);

// Opens the image at `path` for reading only: a regular file, never a device or FIFO (opened
// without waiting). ChecksumFailed naming the file when it cannot.
error::Failure OpenToRead(const std::filesystem::path& path, ImageHandle& file);

// Prefix of the hidden names a run writes beside its target.
extern const char* const kPartialPrefix;

unsigned long CurrentProcessId();

bool ProcessIsRunning(unsigned long id);

}  // namespace imaging
