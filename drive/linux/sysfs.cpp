#include "sysfs.h"

#include <sys/sysmacros.h>

#include <charconv>
#include <fstream>
#include <system_error>

#include "drive_roots.h"

namespace drive {

namespace fs = std::filesystem;

std::optional<std::string> ReadAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return std::nullopt;
    }
    return line;
}

std::optional<dev_t> ParseDeviceNumber(const std::string& text) {
    unsigned major = 0;
    unsigned minor = 0;
    const char* const end = text.data() + text.size();
    auto [afterMajor, majorError] = std::from_chars(text.data(), end, major);
    if (majorError != std::errc{} || afterMajor == end || *afterMajor != ':') {
        return std::nullopt;
    }
    auto [afterMinor, minorError] = std::from_chars(afterMajor + 1, end, minor);
    if (minorError != std::errc{} || afterMinor != end) {
        return std::nullopt;
    }
    return makedev(major, minor);
}

std::optional<dev_t> DeviceNumberOf(const fs::path& blockDir) {
    const auto text = ReadAttribute(blockDir / "dev");
    return text ? ParseDeviceNumber(*text) : std::nullopt;
}

std::optional<fs::path> DiskDirOfDevice(dev_t device) {
    const fs::path link = SysRoot() / "dev" / "block" /
                          (std::to_string(major(device)) + ":" + std::to_string(minor(device)));
    std::error_code error;
    fs::path dir = fs::canonical(link, error);
    if (error) {
        return std::nullopt;
    }
    if (fs::exists(dir / "partition", error)) {
        dir = dir.parent_path();
    }
    return dir;
}

}  // namespace drive
