#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <utility>

#include "disk_usage.h"
#include "image_file.h"
#include "sysfs.h"
#include "unique_fd.h"

namespace imaging {
namespace {

using drive::UniqueFd;

// Writeback of each window starts as soon as it is full; the worker waits for it, and drops it
// from the cache, only once many more windows are full. So at most about 136 MiB of image sit
// in the page cache, while the disk always has a deep queue of writes. Measured on a virtual
// disk: one window in flight copied at half the disk's speed, sixteen at its full speed.
constexpr std::uint64_t kWritebackWindow = 8 << 20;
constexpr std::uint64_t kWindowsInFlight = 16;

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

// An existing target: looked at through an O_PATH descriptor, which opens nothing for writing,
// and opened for writing only once it is known to be a regular file off the source; the write
// open must land on the same file, or a swap in between is refused.
UniqueFd OpenExistingImage(int dirFd, const std::string& name, const std::set<dev_t>& source) {
    const UniqueFd probe(::openat(dirFd, name.c_str(), O_PATH | O_CLOEXEC));
    struct stat seen {};
    if (!probe.IsValid() || ::fstat(probe.Get(), &seen) != 0 || !S_ISREG(seen.st_mode) ||
        source.count(seen.st_dev) != 0) {
        return {};
    }
    UniqueFd file(::openat(dirFd, name.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {};
    if (!file.IsValid() || ::fstat(file.Get(), &opened) != 0 || opened.st_dev != seen.st_dev ||
        opened.st_ino != seen.st_ino || ::ftruncate(file.Get(), 0) != 0) {
        return {};
    }
    return file;
}

}  // namespace

int CreateImageFile(const std::string& path, drive::DriveHandle source, ImageHandle& image) {
    image = kInvalidImageHandle;
    const auto [dir, name] = SplitDirectory(path);
    if (name.empty() || name == "." || name == "..") {
        return 0;
    }
    const std::set<dev_t> sourceFilesystems = SourceFilesystems(source);
    const UniqueFd dirFd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat dirStatus {};
    if (!dirFd.IsValid() || ::fstat(dirFd.Get(), &dirStatus) != 0 ||
        sourceFilesystems.count(dirStatus.st_dev) != 0) {
        return 0;
    }
    // O_EXCL creates only a new regular file and never follows a symbolic link.
    UniqueFd file(
        ::openat(dirFd.Get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!file.IsValid()) {
        if (errno != EEXIST) {
            return 0;
        }
        file = OpenExistingImage(dirFd.Get(), name, sourceFilesystems);
        if (!file.IsValid()) {
            return 0;
        }
    }
    image = file.Release();
    return 1;
}

bool WriteImage(ImageHandle image, const void* data, std::size_t size) {
    const auto* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(image, next, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        next += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool PaceWriteback(ImageHandle image, std::uint64_t lengthBefore, std::uint64_t lengthAfter) {
    if (lengthBefore / kWritebackWindow == lengthAfter / kWritebackWindow) {
        return true;
    }
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
    ::posix_fadvise(image, previous, kWritebackWindow, POSIX_FADV_DONTNEED);
    return true;
}

int FinishImageFile(ImageHandle image) {
    const bool flushed = ::fdatasync(image) == 0;
    // Once on the disk, the image need not take the page cache from what the user runs next.
    ::posix_fadvise(image, 0, 0, POSIX_FADV_DONTNEED);
    const bool closed = ::close(image) == 0;
    return flushed && closed ? 1 : 0;
}

void CloseImageFile(ImageHandle image) {
    ::close(image);
}

}  // namespace imaging
