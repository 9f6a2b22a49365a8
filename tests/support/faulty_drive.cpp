#include "faulty_drive.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "drive_probe.h"

namespace testing_support {
namespace {

bool WaitForFile(const std::filesystem::path& path, std::uint64_t size) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        struct stat status {};
        if (::stat(path.c_str(), &status) == 0 &&
            static_cast<std::uint64_t>(status.st_size) == size) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::filesystem::path WithContent(const std::filesystem::path& path, std::uint64_t size,
                                  bool zeros) {
    if (zeros) {
        std::ofstream{path};
        std::filesystem::resize_file(path, size);
    } else {
        WriteRandomFile(path, size, 11);
    }
    return path;
}

// Several drives may live in one test directory, one after another or side by side.
std::string UniqueSuffix() {
    static std::atomic<int> count{0};
    return std::to_string(count.fetch_add(1));
}

}  // namespace

FaultServer::FaultServer(const std::filesystem::path& mount, const std::filesystem::path& content,
                         const DriveFaults& faults)
    : m_mount(mount) {
    std::filesystem::create_directory(mount);
    std::vector<std::string> args = {FAULT_DISK_PROGRAM,
                                     mount.string(),
                                     content.string(),
                                     std::to_string(faults.badStart),
                                     std::to_string(faults.badEnd),
                                     std::to_string(faults.bytesPerSecond)};
    if (faults.writable) {
        args.emplace_back("--writable");
    }
    if (faults.badWritesEnd != 0) {
        args.push_back("--bad-writes=" + std::to_string(faults.badWritesStart) + ":" +
                       std::to_string(faults.badWritesEnd));
    }
    if (faults.wrapsAt != 0) {
        args.push_back("--wraps-at=" + std::to_string(faults.wrapsAt));
    }
    for (const std::uint64_t sector : faults.badSectors) {
        args.push_back(std::to_string(sector));
    }
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    if (::posix_spawn(&m_pid, FAULT_DISK_PROGRAM, nullptr, nullptr, argv.data(), environ) != 0) {
        m_pid = -1;
    }
}

FaultServer::~FaultServer() {
    RunCommand("fusermount3 -u '" + m_mount.string() + "'");
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
}

void FaultServer::Kill() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}

FaultyDrive::FaultyDrive(const TempDir& dir, std::uint64_t size, const DriveFaults& faults,
                         FakeSysfs* beside, const std::string& name)
    : m_backing(WithContent(dir / ("faulty-content-" + UniqueSuffix()), size, faults.zeroContent)),
      m_mount(m_backing.string() + ".mount"),
      m_server(m_mount, m_backing, faults) {
    if (!m_server.IsRunning() || !WaitForFile(m_mount / "disk", size)) {
        return;
    }
    // Direct I/O on the FUSE file: a write reaches the server when the card is written, as on a
    // card, rather than when the loop device flushes its page cache.
    m_loop =
        std::make_unique<LoopDevice>(m_mount / "disk", faults.writable ? "--direct-io=on" : "-r");
    if (beside == nullptr) {
        m_sysfs = std::make_unique<FakeSysfs>(m_backing.string() + ".root");
    }
    m_shownIn = beside != nullptr ? beside : m_sysfs.get();
    m_shownIn->Add({.name = name,
                    .node = m_loop->Path(),
                    .deviceNumber = m_loop->DeviceNumber(),
                    .removableFlag = true});
}

std::string FaultyDrive::DrivePath() const {
    return drive::DrivePath(0);
}

}  // namespace testing_support
