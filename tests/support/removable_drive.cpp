#include "removable_drive.h"

#include "drive_probe.h"

namespace testing_support {

RemovableDrive::RemovableDrive(const TempDir& dir, std::uint64_t size, std::uint32_t seed)
    : m_backing(dir / "drive.bin") {
    WriteRandomFile(m_backing, size, seed);
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
