#include "disk_usage.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <sstream>
#include <system_error>

#include "sysfs.h"

namespace drive {
namespace {

namespace fs = std::filesystem;

// Mount points and swap names escape space, tab, newline and backslash as \ooo.
std::string Unescape(std::string_view text) {
    const auto isOctal = [](char c) { return c >= '0' && c <= '7'; };
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && isOctal(text[i + 1]) &&
            isOctal(text[i + 2]) && isOctal(text[i + 3])) {
            out.push_back(static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                            (text[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string ReadWholeFile(const char* path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool ContainsAny(const std::set<dev_t>& set, dev_t device) {
    return set.count(device) != 0;
}

void AddStackedDevices(const fs::path& blockDir, std::set<dev_t>& devices, int depth) {
    if (const auto device = DeviceNumberOf(blockDir)) {
        devices.insert(*device);
    }
    std::error_code error;
    for (const fs::directory_entry& holder : fs::directory_iterator(blockDir / "holders", error)) {
        std::error_code resolveError;
        const fs::path holderDir = fs::canonical(holder.path(), resolveError);
        if (!resolveError && depth < 8) {
            AddStackedDevices(holderDir, devices, depth + 1);
        }
    }
}

std::vector<fs::path> DiskAndPartitionDirs(const fs::path& diskDir) {
    std::vector<fs::path> dirs{diskDir};
    std::error_code error;
    for (const fs::directory_entry& child : fs::directory_iterator(diskDir, error)) {
        std::error_code childError;
        if (child.is_directory(childError) && fs::exists(child.path() / "partition", childError)) {
            dirs.push_back(child.path());
        }
    }
    return dirs;
}

}  // namespace

std::vector<MountEntry> ParseMountInfo(std::string_view text) {
    std::vector<MountEntry> mounts;
    std::istringstream lines{std::string(text)};
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, mountPoint, field;
        if (!(fields >> id >> parent >> device >> root >> mountPoint)) {
            continue;
        }
        while (fields >> field && field != "-") {
        }
        std::string type, source;
        fields >> type >> source;
        const auto number = ParseDeviceNumber(device);
        if (number) {
            mounts.push_back({*number, Unescape(mountPoint), Unescape(source)});
        }
    }
    return mounts;
}

std::vector<MountEntry> CurrentMounts() {
    return ParseMountInfo(ReadWholeFile("/proc/self/mountinfo"));
}

dev_t BlockDeviceOf(const MountEntry& mount) {
    if (major(mount.device) != 0) {
        return mount.device;
    }
    struct stat status {};
    if (::stat(mount.source.c_str(), &status) == 0 && S_ISBLK(status.st_mode)) {
        return status.st_rdev;
    }
    return 0;
}

std::set<dev_t> DiskDeviceSet(const fs::path& diskDir) {
    std::set<dev_t> devices;
    for (const fs::path& dir : DiskAndPartitionDirs(diskDir)) {
        AddStackedDevices(dir, devices, 0);
    }
    return devices;
}

bool HasHolders(const fs::path& diskDir) {
    for (const fs::path& dir : DiskAndPartitionDirs(diskDir)) {
        std::error_code error;
        if (!fs::is_empty(dir / "holders", error) && !error) {
            return true;
        }
    }
    return false;
}

bool HoldsRunningSystem(const std::set<dev_t>& blockDevices) {
    static constexpr std::array<std::string_view, 5> kSystemMounts = {"/", "/boot", "/usr", "/var",
                                                                      "/home"};
    for (const MountEntry& mount : CurrentMounts()) {
        const bool systemMount = std::find(kSystemMounts.begin(), kSystemMounts.end(),
                                           mount.mountPoint) != kSystemMounts.end();
        if (systemMount && ContainsAny(blockDevices, BlockDeviceOf(mount))) {
            return true;
        }
    }
    std::istringstream swaps(ReadWholeFile("/proc/swaps"));
    std::string line;
    std::getline(swaps, line);  // the column headings
    while (std::getline(swaps, line)) {
        std::istringstream fields(line);
        std::string name;
        fields >> name;
        struct stat status {};
        if (::stat(Unescape(name).c_str(), &status) != 0) {
            continue;
        }
        const dev_t device = S_ISBLK(status.st_mode) ? status.st_rdev : status.st_dev;
        if (ContainsAny(blockDevices, device)) {
            return true;
        }
    }
    return false;
}

std::set<dev_t> FilesystemDevicesOn(const std::set<dev_t>& blockDevices) {
    std::set<dev_t> devices = blockDevices;
    for (const MountEntry& mount : CurrentMounts()) {
        if (ContainsAny(blockDevices, BlockDeviceOf(mount))) {
            devices.insert(mount.device);
        }
    }
    return devices;
}

}  // namespace drive
