#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fake_sysfs.h"
#include "loop_device.h"
#include "test_system.h"

namespace testing_support {

// What goes wrong with a FaultyDrive: reads that touch [badStart, badEnd) or one of the 512-byte
// `badSectors` fail with EIO, and every read takes as long as a card of `bytesPerSecond` would
// need (0: no delay). A `writable` drive takes writes at the same rate, into its content; those
// that touch [badWritesStart, badWritesEnd) fail with EIO. A drive that `wrapsAt` a length (not 0)
// keeps only that many bytes: offsets past it land back at the start, as on a fake card. A drive
// with `zeroContent` holds zeros, in a sparse file, so it may report any size.
struct DriveFaults {
    std::uint64_t badStart = 0;
    std::uint64_t badEnd = 0;
    std::uint64_t bytesPerSecond = 0;
    std::vector<std::uint64_t> badSectors;
    bool writable = false;
    std::uint64_t badWritesStart = 0;
    std::uint64_t badWritesEnd = 0;
    std::uint64_t wrapsAt = 0;
    bool zeroContent = false;
};

// The FUSE server of a FaultyDrive, running for as long as this object lives; its file
// system is unmounted and the server stopped on every path out.
class FaultServer {
public:
    FaultServer(const std::filesystem::path& mount, const std::filesystem::path& content,
                const DriveFaults& faults);
    ~FaultServer();
    FaultServer(const FaultServer&) = delete;
    FaultServer& operator=(const FaultServer&) = delete;
    bool IsRunning() const { return m_pid > 0; }
    // Stops the server outright, as a card is pulled: every read of its file fails from then on.
    void Kill();

private:
    std::filesystem::path m_mount;
    pid_t m_pid = -1;
};

// A removable drive at index 0 with pseudo-random content that fails or crawls like a worn or
// slow card: a real loop device over a file that a small FUSE server serves with those faults.
// Given `beside`, the drive is `name` among the disks that sysfs already shows.
class FaultyDrive {
public:
    FaultyDrive(const TempDir& dir, std::uint64_t size, const DriveFaults& faults,
                FakeSysfs* beside = nullptr, const std::string& name = "sdz");
    FaultyDrive(const FaultyDrive&) = delete;
    FaultyDrive& operator=(const FaultyDrive&) = delete;

    // False when the FUSE server or the loop device did not come up.
    bool IsReady() const { return m_loop != nullptr && !m_loop->Path().empty(); }
    std::string DrivePath() const;
    // The card is pulled: the drive stays, but reads no more.
    void Pull() { m_server.Kill(); }
    // The drive's content, readable without faults.
    const std::filesystem::path& Content() const { return m_backing; }
    FakeSysfs& Sysfs() { return *m_shownIn; }
    const LoopDevice& Loop() const { return *m_loop; }

private:
    // Destroyed in reverse: the loop device lets go of the FUSE file before the server goes.
    std::filesystem::path m_backing;
    std::filesystem::path m_mount;
    FaultServer m_server;
    std::unique_ptr<LoopDevice> m_loop;
    std::unique_ptr<FakeSysfs> m_sysfs;
    FakeSysfs* m_shownIn = nullptr;
};

}  // namespace testing_support
