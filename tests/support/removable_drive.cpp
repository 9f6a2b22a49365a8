#include "removable_drive.h"

#include "drive_probe.h"

namespace testing_support {

namespace {

std::filesystem::path RandomBacking(const TempDir& dir, std::uint64_t size, std::uint32_t seed) {
    const std::filesystem::path backing = dir / "drive.bin";
    WriteRandomFile(backing, size, seed);
    return backing;
}

}  // namespace

RemovableDrive::RemovableDrive(const TempDir& dir, std::uint64_t size, std::uint32_t seed)
    : RemovableDrive(dir, RandomBacking(dir, size, seed)) {}

RemovableDrive::RemovableDrive(const TempDir& dir, const std::filesystem::path& backing)
    : m_backing(backing) {
    m_loop = std::make_unique<LoopDevice>(m_backing);
    m_sysfs = std::make_unique<FakeSysfs>(dir / "root");
    m_sysfs->Add({.name = "sdz",
                  .node = m_loop->Path(),
                  .deviceNumber = m_loop->DeviceNumber(),
                  .removableFlag = true});
}

std::string RemovableDrive::DrivePath() const {
    return drive::DrivePath(0);
}

}  // namespace testing_support
