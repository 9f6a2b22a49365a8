// A FUSE file system that serves one file, "disk", with the bytes of a backing file, as a card
// reader would serve a card: reads that touch a chosen byte range, or one of chosen 512-byte
// sectors, fail with EIO, and every read can be slowed to a chosen rate. A loop device over "disk"
// gives the tests a real block device with bad sectors or the speed of a card. Reads go straight to
// the handlers (direct_io), so each read of the loop device arrives here with its own offset and
// size. With --writable it takes writes too, into the backing file, at the same rate or at
// --write-rate=BYTES_PER_SECOND; with
// --bad-writes=START:END every write that touches [START, END) fails with EIO, as a worn card's;
// with
// --wraps-at=BYTES offsets past BYTES land back at the start, as on a fake card that holds less
// than it reports.
//
//   fault_disk MOUNTPOINT BACKING [BAD_START BAD_END [BYTES_PER_SECOND [--writable]
//              [--write-rate=BYTES_PER_SECOND] [--bad-writes=START:END] [--wraps-at=BYTES]
//              [BAD_SECTOR_OFFSET...]]]
#define FUSE_USE_VERSION 31
#include <fcntl.h>
#include <fuse3/fuse.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr const char* kDiskPath = "/disk";

struct Disk {
    int backing = -1;
    std::uint64_t size = 0;
    std::uint64_t badStart = 0;
    std::uint64_t badEnd = 0;
    std::uint64_t bytesPerSecond = 0;  // 0: as fast as the backing file
    std::vector<std::uint64_t> badSectors;
    bool writable = false;
    std::uint64_t badWritesStart = 0;
    std::uint64_t badWritesEnd = 0;
    std::uint64_t wrapsAt = 0;    // 0: holds what it reports
    std::uint64_t writeRate = 0;  // 0: bytesPerSecond
};

Disk theDisk;

constexpr std::uint64_t kSector = 512;

bool TouchesBad(std::uint64_t start, std::uint64_t size) {
    if (start < theDisk.badEnd && start + size > theDisk.badStart) {
        return true;
    }
    return std::any_of(
        theDisk.badSectors.begin(), theDisk.badSectors.end(),
        [&](std::uint64_t sector) { return start < sector + kSector && start + size > sector; });
}

int GetAttr(const char* path, struct stat* status, fuse_file_info* /*info*/) {
    std::memset(status, 0, sizeof *status);
    if (std::strcmp(path, "/") == 0) {
        status->st_mode = S_IFDIR | 0755;
        status->st_nlink = 2;
        return 0;
    }
    if (std::strcmp(path, kDiskPath) != 0) {
        return -ENOENT;
    }
    status->st_mode = S_IFREG | (theDisk.writable ? 0644 : 0444);
    status->st_nlink = 1;
    status->st_size = static_cast<off_t>(theDisk.size);
    return 0;
}

int ReadDir(const char* path, void* entries, fuse_fill_dir_t fill, off_t /*offset*/,
            fuse_file_info* /*info*/, fuse_readdir_flags /*flags*/) {
    if (std::strcmp(path, "/") != 0) {
        return -ENOENT;
    }
    fill(entries, ".", nullptr, 0, fuse_fill_dir_flags{});
    fill(entries, "..", nullptr, 0, fuse_fill_dir_flags{});
    fill(entries, kDiskPath + 1, nullptr, 0, fuse_fill_dir_flags{});
    return 0;
}

int Open(const char* path, fuse_file_info* info) {
    if (std::strcmp(path, kDiskPath) != 0) {
        return -ENOENT;
    }
    if ((info->flags & O_ACCMODE) != O_RDONLY && !theDisk.writable) {
        return -EROFS;
    }
    info->direct_io = 1;
    return 0;
}

// Paced against the clock, not by a sleep per request, so neither the time spent serving nor a
// sleep's overshoot lowers the rate: the card moves `bytesPerSecond` for a reader or writer
// that keeps up. One that pauses earns at most a tenth of a second back.
void Pace(std::size_t size, std::uint64_t bytesPerSecond) {
    if (bytesPerSecond == 0) {
        return;
    }
    static auto due = std::chrono::steady_clock::now();
    const auto now = std::chrono::steady_clock::now();
    due = std::max(due, now - std::chrono::milliseconds(100)) +
          std::chrono::microseconds(size * 1000000 / bytesPerSecond);
    std::this_thread::sleep_until(due);
}

// Where the bytes at `offset` are kept: a fake card keeps only its first wrapsAt bytes. Requests
// are small and aligned, so none spans the wrap.
off_t Stored(off_t offset) {
    return theDisk.wrapsAt == 0
               ? offset
               : static_cast<off_t>(static_cast<std::uint64_t>(offset) % theDisk.wrapsAt);
}

int Read(const char* /*path*/, char* buffer, std::size_t size, off_t offset,
         fuse_file_info* /*info*/) {
    const auto start = static_cast<std::uint64_t>(offset);
    Pace(size, theDisk.bytesPerSecond);
    if (TouchesBad(start, size)) {
        return -EIO;
    }
    const ssize_t got = ::pread(theDisk.backing, buffer, size, Stored(offset));
    return got < 0 ? -errno : static_cast<int>(got);
}

int Write(const char* /*path*/, const char* buffer, std::size_t size, off_t offset,
          fuse_file_info* /*info*/) {
    Pace(size, theDisk.writeRate != 0 ? theDisk.writeRate : theDisk.bytesPerSecond);
    const auto start = static_cast<std::uint64_t>(offset);
    if (start < theDisk.badWritesEnd && start + size > theDisk.badWritesStart) {
        return -EIO;
    }
    const ssize_t put = ::pwrite(theDisk.backing, buffer, size, Stored(offset));
    return put < 0 ? -errno : static_cast<int>(put);
}

int Flush(const char* /*path*/, int /*dataOnly*/, fuse_file_info* /*info*/) {
    return ::fdatasync(theDisk.backing) == 0 ? 0 : -errno;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc < 5) {
        return 2;
    }
    // A test that dies takes its drive with it; a server left behind would hang every reader.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    for (int arg = 6; arg < argc; ++arg) {
        if (std::strcmp(argv[arg], "--writable") == 0) {
            theDisk.writable = true;
        } else if (std::strncmp(argv[arg], "--bad-writes=", 13) == 0) {
            char* end = nullptr;
            theDisk.badWritesStart = std::strtoull(argv[arg] + 13, &end, 10);
            theDisk.badWritesEnd = std::strtoull(end + 1, nullptr, 10);
        } else if (std::strncmp(argv[arg], "--write-rate=", 13) == 0) {
            theDisk.writeRate = std::strtoull(argv[arg] + 13, nullptr, 10);
        } else if (std::strncmp(argv[arg], "--wraps-at=", 11) == 0) {
            theDisk.wrapsAt = std::strtoull(argv[arg] + 11, nullptr, 10);
        }
    }
    theDisk.backing = ::open(argv[2], (theDisk.writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    struct stat status {};
    if (theDisk.backing < 0 || ::fstat(theDisk.backing, &status) != 0) {
        return 1;
    }
    theDisk.size = static_cast<std::uint64_t>(status.st_size);
    if (argc >= 5) {
        theDisk.badStart = std::strtoull(argv[3], nullptr, 10);
        theDisk.badEnd = std::strtoull(argv[4], nullptr, 10);
    }
    if (argc >= 6) {
        theDisk.bytesPerSecond = std::strtoull(argv[5], nullptr, 10);
    }
    for (int arg = 6; arg < argc; ++arg) {
        if (argv[arg][0] != '-') {
            theDisk.badSectors.push_back(std::strtoull(argv[arg], nullptr, 10));
        }
    }
    fuse_operations operations{};
    operations.getattr = GetAttr;
    operations.readdir = ReadDir;
    operations.open = Open;
    operations.read = Read;
    operations.write = Write;
    operations.fsync = Flush;
    // Foreground and single-threaded: one read at a time, as one card answers.
    char* fuseArgs[] = {argv[0], const_cast<char*>("-f"), const_cast<char*>("-s"), argv[1]};
    return fuse_main(4, fuseArgs, &operations, nullptr);
}
