#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <set>
#include <utility>

#include "disk_usage.h"
#include "image_digest.h"
#include "image_file.h"
#include "sysfs.h"

namespace imaging {
namespace {

using drive::UniqueFd;

// Writeback of each window starts as soon as it is full; the worker waits for it, and drops it
// from the cache, only once many more windows are full. So at most about 136 MiB of image sit
// in the page cache, while the disk always has a deep queue of writes. Measured on a virtual
// disk: one window in flight copied at half the disk's speed, sixteen at its full speed.
constexpr std::uint64_t kWritebackWindow = 8 << 20;
constexpr std::uint64_t kWindowsInFlight = 16;

// Leaves room for the prefix and suffix of a partial file's name within NAME_MAX.
constexpr std::size_t kPartialNameStem = 200;

Failure Fail(FailureReason reason, int error = errno) {
    return {reason, error};
}

// The st_dev of every file system that lives on the source drive or one of its partitions.
std::set<dev_t> SourceFilesystems(drive::DriveHandle source) {
    struct stat status {};
    if (::fstat(source, &status) != 0) {
        return {};
    }
    const auto diskDir = drive::DiskDirOfDevice(status.st_rdev);
    return drive::FilesystemDevicesOn(diskDir ? drive::DiskDeviceSet(*diskDir)
                                              : std::set<dev_t>{status.st_rdev});
}

std::pair<std::string, std::string> SplitDirectory(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {".", path};
    }
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// A write that makes no progress is a full volume.
bool WriteAll(int fd, const void* data, std::size_t size) {
    const auto* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, next, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written == 0) {
            errno = ENOSPC;
        }
        if (written <= 0) {
            return false;
        }
        next += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// A hidden name beside the target that no other run or program uses.
std::string PartialName(const std::string& name, const char* kind) {
    static std::atomic<unsigned> sequence{0};
    std::string partial = ".";
    partial.append(name, 0, kPartialNameStem);
    partial += kind;
    partial += ".kalvor-";
    partial += std::to_string(::getpid());
    partial += '-';
    partial += std::to_string(sequence.fetch_add(1));
    return partial;
}

// Another run holding the file makes the lock fail with EWOULDBLOCK at once.
Failure Lock(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        return {};
    }
    return errno == EWOULDBLOCK ? Fail(FailureReason::ImageInUse)
                                : Fail(FailureReason::ImageRefused);
}

// An existing target: looked at through an O_PATH descriptor, which opens nothing for writing,
// and opened for writing (never truncated) only once it is known to be a regular file off the
// source; the write open must land on the same file, or a swap in between is refused. Only a
// file the user may write is replaced.
Failure HoldExistingTarget(ImageFileState& state, const std::set<dev_t>& source,
                           struct stat& seen) {
    const int dir = state.directory.Get();
    const UniqueFd probe(::openat(dir, state.name.c_str(), O_PATH | O_CLOEXEC));
    if (!probe.IsValid() || ::fstat(probe.Get(), &seen) != 0) {
        return Fail(FailureReason::ImageRefused);
    }
    if (!S_ISREG(seen.st_mode) || source.count(seen.st_dev) != 0) {
        return Fail(FailureReason::ImageRefused, 0);
    }
    state.target.Reset(::openat(dir, state.name.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {};
    if (!state.target.IsValid() || ::fstat(state.target.Get(), &opened) != 0) {
        return Fail(FailureReason::ImageRefused);
    }
    if (opened.st_dev != seen.st_dev || opened.st_ino != seen.st_ino) {
        return Fail(FailureReason::ImageRefused, 0);
    }
    return Lock(state.target.Get());
}

// The replacement takes the old image's permissions, and its owner where the run may give it.
Failure CreateReplacement(ImageFileState& state, const struct stat& old) {
    state.partialName = PartialName(state.name, "");
    state.image.Reset(::openat(state.directory.Get(), state.partialName.c_str(),
                               O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!state.image.IsValid()) {
        const Failure failure = Fail(FailureReason::ImageRefused);
        state.partialName.clear();
        return failure;
    }
    if (::geteuid() == 0) {
        (void)::fchown(state.image.Get(), old.st_uid, old.st_gid);
    }
    (void)::fchmod(state.image.Get(), old.st_mode & 0777);
    return {};
}

Failure WriteSideFile(ImageFileState& state, const SideFile& side) {
    const std::string partial = PartialName(state.name, side.suffix.c_str());
    UniqueFd file(::openat(state.directory.Get(), partial.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!file.IsValid()) {
        return Fail(FailureReason::WriteError);
    }
    state.sidePartials.emplace_back(partial, state.name + side.suffix);
    if (!WriteAll(file.Get(), side.content.data(), side.content.size())) {
        return Fail(FailureReason::WriteError);
    }
    if (::fdatasync(file.Get()) != 0 || ::close(file.Release()) != 0) {
        return Fail(FailureReason::FlushFailed);
    }
    return {};
}

}  // namespace

ImageFile::~ImageFile() {
    if (!m_state.partialName.empty()) {
        ::unlinkat(m_state.directory.Get(), m_state.partialName.c_str(), 0);
    }
    for (const auto& [partial, name] : m_state.sidePartials) {
        ::unlinkat(m_state.directory.Get(), partial.c_str(), 0);
    }
}

Failure ImageFile::Open(const std::string& path, drive::DriveHandle source) {
    const auto [dir, name] = SplitDirectory(path);
    if (name.empty() || name == "." || name == "..") {
        return Fail(FailureReason::ImageRefused, 0);
    }
    m_state.name = name;
    const std::set<dev_t> sourceFilesystems = SourceFilesystems(source);
    m_state.directory.Reset(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat dirStatus {};
    if (!m_state.directory.IsValid() || ::fstat(m_state.directory.Get(), &dirStatus) != 0) {
        return Fail(FailureReason::ImageRefused);
    }
    if (sourceFilesystems.count(dirStatus.st_dev) != 0) {
        return Fail(FailureReason::ImageRefused, 0);
    }
    // O_EXCL creates only a new regular file and never follows a symbolic link.
    m_state.image.Reset(::openat(m_state.directory.Get(), name.c_str(),
                                 O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (m_state.image.IsValid()) {
        return Lock(m_state.image.Get());
    }
    if (errno != EEXIST) {
        return Fail(FailureReason::ImageRefused);
    }
    struct stat old {};
    if (const Failure failure = HoldExistingTarget(m_state, sourceFilesystems, old)) {
        return failure;
    }
    return CreateReplacement(m_state, old);
}

bool ImageFile::Write(const void* data, std::size_t size) {
    return WriteAll(m_state.image.Get(), data, size);
}

bool ImageFile::PaceWriteback(std::uint64_t lengthBefore, std::uint64_t lengthAfter,
                              ImageDigest& digest) {
    if (lengthBefore / kWritebackWindow == lengthAfter / kWritebackWindow) {
        return true;
    }
    const int image = m_state.image.Get();
    const std::uint64_t boundary = lengthAfter / kWritebackWindow * kWritebackWindow;
    ::sync_file_range(image, static_cast<off64_t>(boundary - kWritebackWindow), kWritebackWindow,
                      SYNC_FILE_RANGE_WRITE);
    const std::uint64_t lag = (kWindowsInFlight + 1) * kWritebackWindow;
    if (boundary < lag) {
        return true;
    }
    // A failed writeback is reported once per descriptor: if the wait here sees it, the final
    // fdatasync will not.
    const auto previous = static_cast<off64_t>(boundary - lag);
    if (::sync_file_range(image, previous, kWritebackWindow,
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                              SYNC_FILE_RANGE_WAIT_AFTER) != 0) {
        return false;
    }
    digest.WaitHashed(static_cast<std::uint64_t>(previous) + kWritebackWindow);
    ::posix_fadvise(image, previous, kWritebackWindow, POSIX_FADV_DONTNEED);
    return true;
}

Failure ImageFile::Commit(const std::vector<SideFile>& sideFiles) {
    const int image = m_state.image.Get();
    if (::fdatasync(image) != 0) {
        return Fail(FailureReason::FlushFailed);
    }
    // Once on the disk, the image need not take the page cache from what the user runs next.
    ::posix_fadvise(image, 0, 0, POSIX_FADV_DONTNEED);
    if (::close(m_state.image.Release()) != 0) {
        return Fail(FailureReason::FlushFailed);
    }
    for (const SideFile& side : sideFiles) {
        if (const Failure failure = WriteSideFile(m_state, side)) {
            return failure;
        }
    }
    const int dir = m_state.directory.Get();
    if (!m_state.partialName.empty()) {
        if (::renameat(dir, m_state.partialName.c_str(), dir, m_state.name.c_str()) != 0) {
            return Fail(FailureReason::WriteError);
        }
        m_state.partialName.clear();
    }
    while (!m_state.sidePartials.empty()) {
        const auto& [partial, name] = m_state.sidePartials.back();
        if (::renameat(dir, partial.c_str(), dir, name.c_str()) != 0) {
            return Fail(FailureReason::WriteError);
        }
        m_state.sidePartials.pop_back();
    }
    // The new names reach the disk only with their directory.
    const UniqueFd directory(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory.IsValid() || ::fsync(directory.Get()) != 0) {
        return Fail(FailureReason::FlushFailed);
    }
    return {};
}

ImageHandle ImageFile::Handle() const {
    return m_state.image.Get();
}

}  // namespace imaging
