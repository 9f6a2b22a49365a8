#include "fake_sysfs.h"

#include <fstream>

#include "drive_roots.h"

namespace testing_support {

namespace fs = std::filesystem;

namespace {

void WriteText(const fs::path& file, const std::string& text) {
    std::ofstream(file) << text << '\n';
}

// The real device's size and media sequence number, as the kernel shows them to every user.
void CopyMediaAttributes(const std::string& deviceNumber, const fs::path& blockDir) {
    for (const char* attribute : {"size", "diskseq"}) {
        std::string value;
        std::ifstream(fs::path("/sys/dev/block") / deviceNumber / attribute) >> value;
        WriteText(blockDir / attribute, value);
    }
}

}  // namespace

FakeSysfs::FakeSysfs(const fs::path& root) : m_sys(root / "sys"), m_dev(root / "dev") {
    fs::create_directories(m_sys / "block");
    fs::create_directories(m_sys / "dev" / "block");
    fs::create_directories(m_sys / "devices" / "virtual" / "block");
    fs::create_directories(m_dev);
    drive::SetDriveRoots(m_sys, m_dev);
}

FakeSysfs::~FakeSysfs() {
    drive::SetDriveRoots("/sys", "/dev");
}

void FakeSysfs::Add(const FakeDisk& disk) {
    fs::path blockDir;
    if (disk.isVirtual) {
        blockDir = m_sys / "devices" / "virtual" / "block" / disk.name;
        fs::create_directories(blockDir);
    } else {
        const fs::path port = m_sys / "devices" / ("controller-" + disk.name) / "port";
        fs::create_directories(m_sys / "bus" / disk.bus);
        fs::create_directories(port / "host" / "block" / disk.name);
        fs::create_symlink(m_sys / "bus" / disk.bus, port / "subsystem");
        blockDir = port / "host" / "block" / disk.name;
        fs::create_directory_symlink(port / "host", blockDir / "device");
    }
    WriteText(blockDir / "removable", disk.removableFlag ? "1" : "0");
    WriteText(blockDir / "dev", disk.deviceNumber);
    fs::create_directory(blockDir / "holders");
    for (const std::string& holder : disk.holders) {
        fs::create_directory_symlink(m_sys / "devices" / "virtual" / "block",
                                     blockDir / "holders" / holder);
    }
    for (const auto& [file, value] : disk.attributes) {
        fs::create_directories((blockDir / file).parent_path());
        WriteText(blockDir / file, value);
    }
    fs::create_directory_symlink(blockDir, m_sys / "block" / disk.name);
    if (!disk.deviceNumber.empty()) {
        fs::create_directory_symlink(blockDir, m_sys / "dev" / "block" / disk.deviceNumber);
        CopyMediaAttributes(disk.deviceNumber, blockDir);
    }
    if (!disk.node.empty()) {
        fs::create_symlink(disk.node, m_dev / disk.name);
    }
}

void FakeSysfs::Relink(const std::string& name, const FakeDisk& disk) {
    const fs::path blockDir = fs::canonical(m_sys / "block" / name);
    WriteText(blockDir / "dev", disk.deviceNumber);
    // A device linked back to a disk keeps its entry.
    fs::remove(m_sys / "dev" / "block" / disk.deviceNumber);
    fs::create_directory_symlink(blockDir, m_sys / "dev" / "block" / disk.deviceNumber);
    CopyMediaAttributes(disk.deviceNumber, blockDir);
    fs::remove(m_dev / name);
    fs::create_symlink(disk.node, m_dev / name);
}

}  // namespace testing_support
