#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

// How a disk in the fake tree presents itself.
struct FakeDisk {
    std::string name;            // the kernel name, e.g. "sdc"
    std::string node;            // the real device its /dev entry leads to; empty: no node
    std::string deviceNumber;    // its "MAJ:MIN"
    std::string bus = "usb";     // the subsystem of the port it hangs on
    bool removableFlag = false;  // the kernel's removable attribute
    bool isVirtual = false;      // under devices/virtual, like loop and zram
    std::vector<std::string> holders;
    // Further attribute files, by their path from the disk's own directory: its hardware is
    // "device/...", and the port it hangs on "device/../...".
    std::vector<std::pair<std::string, std::string>> attributes;
};

// A sysfs and /dev tree in a temporary directory whose entries lead to real block devices; the
// drive backend reads it instead of /sys and /dev while this object lives.
class FakeSysfs {
public:
    explicit FakeSysfs(const std::filesystem::path& root);
    ~FakeSysfs();
    FakeSysfs(const FakeSysfs&) = delete;
    FakeSysfs& operator=(const FakeSysfs&) = delete;

    void Add(const FakeDisk& disk);
    // Points an existing /dev entry at another device, as when disks are plugged in and out.
    void Relink(const std::string& name, const FakeDisk& disk);
    std::filesystem::path DevPath(const std::string& name) const { return m_dev / name; }

private:
    std::filesystem::path m_sys;
    std::filesystem::path m_dev;
};

}  // namespace testing_support
