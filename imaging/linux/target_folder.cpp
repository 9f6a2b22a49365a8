#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <system_error>

#include <cerrno>

#include "drive_file_systems.h"
#include "image/target_folder.h"

namespace imaging {

using error::Failure;
using error::FailureReason;
using error::SystemFailure;

namespace {

// Writeback of each window starts as soon as it is full; the writer waits for it, and drops it
// from the cache, only once many more windows are full. So at most about 136 MiB of image sit
// in the page cache, while the disk always has a deep queue of writes. Measured on a virtual
// disk: one window in flight copied at half the disk's speed, sixteen at its full speed.
constexpr std::uint64_t kWritebackWindow = 8 << 20;
constexpr std::uint64_t kWindowsInFlight = 16;

// Another run holding the file makes the lock fail with EWOULDBLOCK at once.
Failure Lock(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        return {};
    }
    return SystemFailure(errno == EWOULDBLOCK ? FailureReason::ImageInUse
                                              : FailureReason::ImageRefused);
}

// ImageRefused for the file `name` with what the system said of the call that just failed.
Failure NamedFailure(const std::string& name) {
    const int error = errno;
    return {FailureReason::ImageRefused, error,
            name + ": " + std::system_category().message(error)};
}

// A side file read whole: `path` relative to the folder `folder`, `name` as messages call it.
Failure ReadRegularFile(int folder, const char* path, const std::string& name, std::uint64_t limit,
                        std::string& content) {
    content.clear();
    const drive::UniqueFd file(
        ::openat(folder, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!file.IsValid()) {
        if (errno == ENOENT) {
            return {};
        }
        return errno == ELOOP
                   ? Failure{FailureReason::ImageRefused, ELOOP, name + ": a link, not a file"}
                   : NamedFailure(name);
    }
    struct stat status {};
    if (::fstat(file.Get(), &status) != 0) {
        return NamedFailure(name);
    }
    if (!S_ISREG(status.st_mode)) {
        return {FailureReason::ImageRefused, 0, name + ": not a regular file"};
    }
    if (static_cast<std::uint64_t>(status.st_size) > limit) {
        return {FailureReason::ImageRefused, 0,
                name + ": " + std::to_string(status.st_size) +
                    " bytes, more than such a file holds (" + std::to_string(limit) + ")"};
    }
    content.resize(static_cast<std::size_t>(status.st_size));
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t got = ::read(file.Get(), content.data() + done, content.size() - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            content.clear();
            return NamedFailure(name);
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    content.resize(done);
    return {};
}

}  // namespace

const char* const kPartialPrefix = ".";

bool NameTaken(const Failure& failure) {
    return failure.reason == FailureReason::ImageRefused && failure.error == EEXIST;
}

unsigned long CurrentProcessId() {
    return static_cast<unsigned long>(::getpid());
}

// A process we may not signal is running all the same. A number no process can have is taken
// as running, so what it names is left alone (and never reaches kill() as a process group).
bool ProcessIsRunning(unsigned long id) {
    if (id == 0 || id > static_cast<unsigned long>(std::numeric_limits<pid_t>::max())) {
        return true;
    }
    return ::kill(static_cast<pid_t>(id), 0) == 0 || errno != ESRCH;
}

std::vector<std::string> TargetFolder::Names() const {
    std::vector<std::string> names;
    const int listing = ::openat(m_state.folder.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* const folder = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (folder == nullptr) {
        if (listing >= 0) {
            ::close(listing);
        }
        return names;
    }
    while (const dirent* entry = ::readdir(folder)) {
        names.emplace_back(entry->d_name);
    }
    ::closedir(folder);
    return names;
}

// Every run locks the files it writes: a free lock on a regular file means no run holds it.
void TargetFolder::RemoveIfUnused(const std::string& name) const {
    const drive::UniqueFd file(::openat(m_state.folder.Get(), name.c_str(),
                                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (file.IsValid() && ::fstat(file.Get(), &status) == 0 && S_ISREG(status.st_mode) &&
        ::flock(file.Get(), LOCK_EX | LOCK_NB) == 0) {
        ::unlinkat(m_state.folder.Get(), name.c_str(), 0);
    }
}

Failure TargetFolder::Open(const std::filesystem::path& path, drive::DriveHandle source) {
    m_state.sourceFilesystems = drive::FileSystemsOn(source);
    m_state.folder.Reset(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat status {};
    if (!m_state.folder.IsValid() || ::fstat(m_state.folder.Get(), &status) != 0) {
        return SystemFailure(FailureReason::ImageRefused);
    }
    if (m_state.sourceFilesystems.count(static_cast<std::uint64_t>(status.st_dev)) != 0) {
        return {FailureReason::ImageRefused, 0, "the folder is on the drive being read"};
    }
    return {};
}

bool TargetFolder::NameFits(const std::string& name) const {
    const long limit = ::fpathconf(m_state.folder.Get(), _PC_NAME_MAX);
    return limit <= 0 || name.size() <= static_cast<std::size_t>(limit);
}

// O_EXCL creates only a new regular file and never follows a symbolic link.
Failure TargetFolder::CreateNew(const std::string& name, ImageHandle& file) const {
    file.Reset(
        ::openat(m_state.folder.Get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    return file.IsValid() ? Lock(file.Get()) : SystemFailure(FailureReason::ImageRefused);
}

// Looked at through an O_PATH descriptor, which opens nothing for writing, and opened for writing
// (never truncated, O_NONBLOCK so a FIFO swapped in cannot hang) only once it is known to be a
// regular file off the source; the write open must land on the same file, or a swap in between
// is refused. Only a file the user may write is replaced.
Failure TargetFolder::HoldExisting(const std::string& name, ImageHandle& held) const {
    const int folder = m_state.folder.Get();
    const drive::UniqueFd probe(::openat(folder, name.c_str(), O_PATH | O_CLOEXEC));
    struct stat seen {};
    if (!probe.IsValid() || ::fstat(probe.Get(), &seen) != 0) {
        return SystemFailure(FailureReason::ImageRefused);
    }
    if (!S_ISREG(seen.st_mode)) {
        return {FailureReason::ImageRefused, 0, "not a regular file"};
    }
    if (m_state.sourceFilesystems.count(static_cast<std::uint64_t>(seen.st_dev)) != 0) {
        return {FailureReason::ImageRefused, 0, "the file is on the drive being read"};
    }
    held.Reset(::openat(folder, name.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {};
    if (!held.IsValid() || ::fstat(held.Get(), &opened) != 0) {
        return SystemFailure(FailureReason::ImageRefused);
    }
    if (opened.st_dev != seen.st_dev || opened.st_ino != seen.st_ino) {
        return {FailureReason::ImageRefused, 0, "the file changed while it was opened"};
    }
    return Lock(held.Get());
}

Failure TargetFolder::MayWriteInPlace(const std::string& name, const ImageHandle& held) const {
    struct stat named {};
    struct stat opened {};
    if (::fstatat(m_state.folder.Get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        ::fstat(held.Get(), &opened) != 0) {
        return SystemFailure(FailureReason::ImageRefused);
    }
    // A second hard link would let a file elsewhere, perhaps another's, be written through it.
    if (S_ISLNK(named.st_mode) || named.st_dev != opened.st_dev || named.st_ino != opened.st_ino ||
        opened.st_nlink != 1) {
        return {FailureReason::ImageRefused, 0,
                name + " is a link: an image is continued only in a file of its own"};
    }
    if (opened.st_uid != ::geteuid() && opened.st_uid != 0) {
        return {FailureReason::ImageRefused, 0,
                name + " belongs to another user: an image is continued only in a file of its own"};
    }
    return {};
}

Failure TargetFolder::CreateReplacement(const std::string& name, const ImageHandle& held,
                                        ImageHandle& file) const {
    struct stat old {};
    if (::fstat(held.Get(), &old) != 0) {
        return SystemFailure(FailureReason::ImageRefused);
    }
    file.Reset(
        ::openat(m_state.folder.Get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!file.IsValid()) {
        return SystemFailure(FailureReason::ImageRefused);
    }
    if (::geteuid() == 0) {
        (void)::fchown(file.Get(), old.st_uid, old.st_gid);
    }
    (void)::fchmod(file.Get(), old.st_mode & 0777);
    return Lock(file.Get());
}

Failure TargetFolder::Replace(const std::string& from, const std::string& to) const {
    const int folder = m_state.folder.Get();
    if (::renameat(folder, from.c_str(), folder, to.c_str()) == 0) {
        return {};
    }
    Failure failure = NamedFailure("renaming " + to);
    failure.reason = FailureReason::WriteError;
    return failure;
}

void TargetFolder::Remove(const std::string& name) const {
    ::unlinkat(m_state.folder.Get(), name.c_str(), 0);
}

// New names reach the disk only with their folder.
Failure TargetFolder::Sync() const {
    const drive::UniqueFd folder(
        ::openat(m_state.folder.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return folder.IsValid() && ::fsync(folder.Get()) == 0
               ? Failure{}
               : SystemFailure(FailureReason::FlushFailed);
}

std::uint64_t TargetFolder::LargestFile() const {
    struct statfs status {};
    if (::fstatfs(m_state.folder.Get(), &status) == 0 && status.f_type == MSDOS_SUPER_MAGIC) {
        return (std::uint64_t{1} << 32) - 1;
    }
    return std::numeric_limits<std::uint64_t>::max();
}

Failure PositionAt(const ImageHandle& file, std::uint64_t offset) {
    return ::lseek(file.Get(), static_cast<off_t>(offset), SEEK_SET) >= 0
               ? Failure{}
               : SystemFailure(FailureReason::WriteError);
}

Failure ReadSome(const ImageHandle& file, void* data, std::size_t size, std::size_t& got) {
    ssize_t read = 0;
    do {
        read = ::read(file.Get(), data, size);
    } while (read < 0 && errno == EINTR);
    got = read > 0 ? static_cast<std::size_t>(read) : 0;
    return read >= 0 ? Failure{} : SystemFailure(FailureReason::ChecksumFailed);
}

ByteRanges DataExtents(const ImageHandle& file, std::uint64_t length) {
    ByteRanges extents;
    for (off_t at = 0; static_cast<std::uint64_t>(at) < length;) {
        const off_t data = ::lseek(file.Get(), at, SEEK_DATA);
        if (data < 0) {
            // ENXIO: no data past `at`; anything else: the file system cannot tell.
            return errno == ENXIO ? extents : ByteRanges{{0, length}};
        }
        if (static_cast<std::uint64_t>(data) >= length) {
            break;
        }
        const off_t hole = ::lseek(file.Get(), data, SEEK_HOLE);
        if (hole < 0) {
            return {{0, length}};
        }
        extents.push_back(
            {static_cast<std::uint64_t>(data), std::min(static_cast<std::uint64_t>(hole), length) -
                                                   static_cast<std::uint64_t>(data)});
        at = hole;
    }
    return extents;
}

Failure Flush(const ImageHandle& file) {
    return ::fdatasync(file.Get()) == 0 ? Failure{} : SystemFailure(FailureReason::FlushFailed);
}

Failure SetLength(const ImageHandle& file, std::uint64_t length) {
    return ::ftruncate(file.Get(), static_cast<off_t>(length)) == 0
               ? Failure{}
               : SystemFailure(errno == EFBIG ? FailureReason::FileTooLarge
                                              : FailureReason::WriteError);
}

// Linux file systems keep holes unasked; those without (FAT, exFAT) write the gap's zeros.
void MarkSparse(const ImageHandle& /*file*/) {}

// A write that makes no progress is a full volume.
Failure WriteAll(const ImageHandle& file, const void* data, std::size_t size) {
    const auto* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(file.Get(), next, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written == 0) {
            return {FailureReason::WriteError, ENOSPC, {}};
        }
        if (written < 0) {
            return SystemFailure(errno == EFBIG ? FailureReason::FileTooLarge
                                                : FailureReason::WriteError);
        }
        next += written;
        size -= static_cast<std::size_t>(written);
    }
    return {};
}

Failure PaceWriteback(const ImageHandle& file, std::uint64_t lengthBefore,
                      std::uint64_t lengthAfter) {
    if (lengthBefore / kWritebackWindow == lengthAfter / kWritebackWindow) {
        return {};
    }
    const int fd = file.Get();
    const std::uint64_t boundary = lengthAfter / kWritebackWindow * kWritebackWindow;
    ::sync_file_range(fd, static_cast<off64_t>(boundary - kWritebackWindow), kWritebackWindow,
                      SYNC_FILE_RANGE_WRITE);
    const std::uint64_t lag = (kWindowsInFlight + 1) * kWritebackWindow;
    if (boundary < lag) {
        return {};
    }
    // A failed writeback is reported once per descriptor: if the wait here sees it, the final
    // fdatasync will not.
    const auto previous = static_cast<off64_t>(boundary - lag);
    if (::sync_file_range(fd, previous, kWritebackWindow,
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                              SYNC_FILE_RANGE_WAIT_AFTER) != 0) {
        return SystemFailure(FailureReason::WriteError);
    }
    ::posix_fadvise(fd, previous, kWritebackWindow, POSIX_FADV_DONTNEED);
    return {};
}

Failure FlushAndClose(ImageHandle& file) {
    if (Failure failure = Flush(file)) {
        return failure;
    }
    // Once on the disk, the image need not take the page cache from what the user runs next.
    ::posix_fadvise(file.Get(), 0, 0, POSIX_FADV_DONTNEED);
    return ::close(file.Release()) == 0 ? Failure{} : SystemFailure(FailureReason::FlushFailed);
}

bool FileIsOn(const std::filesystem::path& path, drive::DriveHandle drive) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 &&
           drive::FileSystemsOn(drive).count(static_cast<std::uint64_t>(status.st_dev)) != 0;
}

// Through the descriptor itself, never by path: it is the very file already checked.
bool OpenForDirectWrites(const ImageHandle& file, ImageHandle& direct) {
    direct.Reset(::open(("/proc/self/fd/" + std::to_string(file.Get())).c_str(),
                        O_WRONLY | O_DIRECT | O_CLOEXEC));
    return direct.IsValid();
}

bool OpenForDirectReads(const ImageHandle& file, ImageHandle& direct) {
    direct.Reset(::open(("/proc/self/fd/" + std::to_string(file.Get())).c_str(),
                        O_RDONLY | O_DIRECT | O_CLOEXEC));
    return direct.IsValid();
}

// The lock on the old target is kept until the run ends: a rename never minds an open file.
void LetGoBeforeReplace(ImageHandle& /*held*/) {}

Failure OpenToRead(const std::filesystem::path& path, ImageHandle& file) {
    const std::string name = path.filename().string();
    file.Reset(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat status {};
    if (!file.IsValid() || ::fstat(file.Get(), &status) != 0) {
        Failure failure = NamedFailure(name);
        failure.reason = FailureReason::ChecksumFailed;
        return failure;
    }
    if (!S_ISREG(status.st_mode)) {
        return {FailureReason::ChecksumFailed, 0, name + ": not a regular file"};
    }
    return {};
}

Failure ReadSideFile(const std::filesystem::path& path, std::uint64_t limit, std::string& content) {
    return ReadRegularFile(AT_FDCWD, path.c_str(), path.filename().string(), limit, content);
}

Failure TargetFolder::ReadSideFile(const std::string& name, std::uint64_t limit,
                                   std::string& content) const {
    return ReadRegularFile(m_state.folder.Get(), name.c_str(), name, limit, content);
}

Failure LengthOf(const ImageHandle& file, std::uint64_t& length) {
    struct stat status {};
    if (::fstat(file.Get(), &status) != 0) {
        return SystemFailure(FailureReason::WriteError);
    }
    length = static_cast<std::uint64_t>(status.st_size);
    return {};
}

}  // namespace imaging
