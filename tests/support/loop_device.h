#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace testing_support {

// A real loop device over a backing file, detached when it goes out of scope.
class LoopDevice {
public:
    explicit LoopDevice(const std::filesystem::path& backingFile, const std::string& options = "");
    ~LoopDevice();
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;

    const std::string& Path() const { return m_path; }
    dev_t Device() const;
    std::string DeviceNumber() const;  // "MAJ:MIN"
    // Makes the device follow its backing file's new size, as a pulled or shrinking card would.
    bool ReadBackingSize() const;

private:
    std::string m_path;
};

}  // namespace testing_support
