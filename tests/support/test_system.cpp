#include "test_system.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <vector>

namespace testing_support {

namespace fs = std::filesystem;

bool RunCommand(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

bool RunCommand(const std::string& command, std::string& said) {
    said.clear();
    FILE* const pipe = ::popen(("{ " + command + "; } 2>&1 >/dev/null").c_str(), "r");
    if (pipe == nullptr) {
        return false;
    }
    std::array<char, 4096> buffer{};
    while (const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), pipe)) {
        said.append(buffer.data(), got);
    }
    const int status = ::pclose(pipe);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

RootCheck CheckRoot() {
    if (::geteuid() == 0) {
        return RootCheck::Run;
    }
    return std::getenv("CI") != nullptr ? RootCheck::Fail : RootCheck::Skip;
}

std::string Output(const std::string& command) {
    std::string text;
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe) {
        return text;
    }
    std::array<char, 4096> buffer{};
    while (const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), pipe.get())) {
        text.append(buffer.data(), got);
    }
    return text;
}

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "dresmont-XXXXXX").string();
    m_path = ::mkdtemp(pattern.data());
    fs::permissions(m_path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
}

TempDir::~TempDir() {
    std::error_code error;
    fs::remove_all(m_path, error);
}

std::uint64_t FileSize(const fs::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

std::string Fingerprint(const fs::path& path) {
    return Output("sha256sum < '" + path.string() + "'");
}

int OpenDescriptorCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

bool FlushFile(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool flushed = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return flushed;
}

ScopedMount::ScopedMount(const std::string& source, const fs::path& mountPoint,
                         const std::string& options)
    : m_mountPoint(mountPoint) {
    fs::create_directories(mountPoint);
    m_mounted = RunCommand("mount " + options + " '" + source + "' '" + mountPoint.string() + "'");
}

ScopedMount::~ScopedMount() {
    if (m_mounted) {
        RunCommand("umount '" + m_mountPoint.string() + "'");
    }
}

WriteCloseWatch::WriteCloseWatch(const std::string& path)
    : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
      m_watching(::inotify_add_watch(m_fd, path.c_str(), IN_CLOSE_WRITE) >= 0) {}

WriteCloseWatch::~WriteCloseWatch() {
    ::close(m_fd);
}

bool WriteCloseWatch::SawWriteClose() const {
    char events[4096];
    return ::read(m_fd, events, sizeof events) > 0;
}

}  // namespace testing_support
