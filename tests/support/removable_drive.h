#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "fake_sysfs.h"
#include "loop_device.h"
#include "test_system.h"

namespace testing_support {

// A loop device over a file of pseudo-random bytes that the drive backend sees as the only
// disk, a removable USB one, at index 0.
class RemovableDrive {
public:
    RemovableDrive(const TempDir& dir, std::uint64_t size, std::uint32_t seed = 1);
    // A drive whose content the test has already laid out in `backing`.
    RemovableDrive(const TempDir& dir, const std::filesystem::path& backing);

    std::string DrivePath() const;
    const std::string& LoopPath() const { return m_loop->Path(); }
    const std::filesystem::path& BackingFile() const { return m_backing; }
    const LoopDevice& Loop() const { return *m_loop; }
    FakeSysfs& Sysfs() { return *m_sysfs; }

private:
    std::filesystem::path m_backing;
    std::unique_ptr<LoopDevice> m_loop;
    std::unique_ptr<FakeSysfs> m_sysfs;
};

}  // namespace testing_support
