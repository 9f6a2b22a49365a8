#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "test_files.h"

namespace testing_support {

// Runs a shell command, its output discarded; true when it exits with 0. The second form keeps
// what it said on its standard error in `said`.
bool RunCommand(const std::string& command);
bool RunCommand(const std::string& command, std::string& said);
std::string Output(const std::string& command);

// Loop devices, mounts and swap need root. Without it such a test is skipped, except under CI,
// where a skip would let a run pass without exercising the real devices.
enum class RootCheck { Run, Skip, Fail };
RootCheck CheckRoot();

// A fresh directory, world-readable so a dropped-privilege child can look into it; removed
// with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

std::uint64_t FileSize(const std::filesystem::path& path);
std::string Fingerprint(const std::filesystem::path& path);  // sha256 of a file or device

int OpenDescriptorCount();

// Brings one file's data to the disk, and nothing else of the machine's.
bool FlushFile(const std::filesystem::path& path);

// A file system mounted at `mountPoint` (created if missing) for as long as this object lives;
// unmounted even when the test fails half-way.
class ScopedMount {
public:
    ScopedMount(const std::string& source, const std::filesystem::path& mountPoint,
                const std::string& options = "");
    ~ScopedMount();
    ScopedMount(const ScopedMount&) = delete;
    ScopedMount& operator=(const ScopedMount&) = delete;
    bool IsMounted() const { return m_mounted; }

private:
    std::filesystem::path m_mountPoint;
    bool m_mounted;
};

// Sees whether a file or device node is closed after being opened for writing while this
// object lives. Closing a disk opened for writing also makes udev re-read its partitions.
class WriteCloseWatch {
public:
    explicit WriteCloseWatch(const std::string& path);
    ~WriteCloseWatch();
    WriteCloseWatch(const WriteCloseWatch&) = delete;
    WriteCloseWatch& operator=(const WriteCloseWatch&) = delete;
    bool IsWatching() const { return m_watching; }
    bool SawWriteClose() const;

private:
    int m_fd;
    bool m_watching;
};

}  // namespace testing_support
