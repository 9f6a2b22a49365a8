#include "loop_device.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdlib>

#include "test_system.h"

namespace testing_support {

LoopDevice::LoopDevice(const std::filesystem::path& backingFile, const std::string& options) {
    m_path = Output("losetup -f --show " + options + " '" + backingFile.string() + "'");
    while (!m_path.empty() && m_path.back() == '\n') {
        m_path.pop_back();
    }
}

LoopDevice::~LoopDevice() {
    if (!m_path.empty()) {
        std::system(("losetup -d " + m_path + " >/dev/null 2>&1").c_str());
    }
}

dev_t LoopDevice::Device() const {
    struct stat status {};
    return ::stat(m_path.c_str(), &status) == 0 ? status.st_rdev : 0;
}

std::string LoopDevice::DeviceNumber() const {
    return std::to_string(major(Device())) + ":" + std::to_string(minor(Device()));
}

bool LoopDevice::ReadBackingSize() const {
    return RunCommand("losetup -c " + m_path);
}

}  // namespace testing_support
