#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "drive_list.h"
#include "drive_probe.h"
#include "fake_sysfs.h"
#include "gtest_support.h"
#include "loop_device.h"

namespace {

using namespace testing_support;

constexpr std::uint64_t kMiB = 1024 * 1024;

// Keeps its entries in byte order of their text, as the program's sorted list does.
class SortedList : public drive::DeviceListControl {
public:
    void ResetContent() override { entries.clear(); }
    void AddString(const std::string& text, const drive::ListedDrive& /*drive*/) override {
        entries.insert(std::upper_bound(entries.begin(), entries.end(), text), text);
    }
    std::vector<std::string> entries;
};

// Active swap on a device, switched off again when the test ends.
class SwapOn {
public:
    explicit SwapOn(std::string device) : m_device(std::move(device)) {
        SHELL("mkswap " + m_device);
        SHELL("swapon " + m_device);
    }
    ~SwapOn() { std::system(("swapoff " + m_device + " 2>/dev/null").c_str()); }
    SwapOn(const SwapOn&) = delete;
    SwapOn& operator=(const SwapOn&) = delete;

private:
    std::string m_device;
};

std::string LetterName(int index) {
    return std::string("sd") + static_cast<char>('a' + index);
}

// Disks sda to sdu at indexes 0 to 20: removable ones at 2 (by its flag), 11 (on the mmc bus)
// and 20 (out of reach), a fixed disk at 0, a swap disk at 1, and the rest without a node.
// A loop device and an optical drive do not count as indexes.
class DriveListOnFakeSystem : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            return;
        }
        m_sysfs = std::make_unique<FakeSysfs>(m_dir / "root");
        m_sysfs->Add({.name = "loop0", .node = "/dev/null", .isVirtual = true});
        m_sysfs->Add({.name = "sr0", .node = "/dev/null", .removableFlag = true});
        for (int index = 0; index <= 20; ++index) {
            FakeDisk disk{.name = LetterName(index)};
            switch (index) {
                case 0:
                    disk = AttachLoop(disk, 8, "pci", false);
                    break;
                case 1:
                    disk = AttachLoop(disk, 8, "usb", true);
                    break;
                case 2:
                    disk = AttachLoop(disk, 30, "usb", true);
                    break;
                case 11:
                    disk = AttachLoop(disk, 5, "mmc", false);
                    break;
                case 20:
                    disk = AttachLoop(disk, 7, "usb", true);
                    break;
                default:
                    break;
            }
            m_sysfs->Add(disk);
        }
        m_swap = std::make_unique<SwapOn>(m_loops[1]->Path());
    }

    FakeDisk AttachLoop(FakeDisk disk, std::uint64_t megabytes, const std::string& bus,
                        bool removableFlag) {
        const auto backing = m_dir / (disk.name + ".bin");
        SHELL("truncate -s " + std::to_string(megabytes * kMiB) + " " + backing.string());
        m_loops.push_back(std::make_unique<LoopDevice>(backing));
        disk.node = m_loops.back()->Path();
        disk.deviceNumber = m_loops.back()->DeviceNumber();
        disk.bus = bus;
        disk.removableFlag = removableFlag;
        return disk;
    }

    TempDir m_dir;
    std::vector<std::unique_ptr<LoopDevice>> m_loops;
    std::unique_ptr<FakeSysfs> m_sysfs;
    std::unique_ptr<SwapOn> m_swap;
};

TEST_F(DriveListOnFakeSystem, ListsTheRemovableDrivesBelowTwentyEachReadingBackToItsIndex) {
    REQUIRE_ROOT();
    SortedList list;
    list.entries = {"left over from before"};

    drive::RefreshDriveList(list);

    ASSERT_EQ(list.entries, (std::vector<std::string>{"11: volume: 5 MB", "2: volume: 30 MB"}));
    for (const std::string& entry : list.entries) {
        const auto index = drive::DriveIndexFromEntry(entry);
        ASSERT_TRUE(index.has_value());
        struct stat listed {};
        ASSERT_EQ(::stat(drive::DrivePath(*index).c_str(), &listed), 0);
        EXPECT_EQ(listed.st_rdev, m_loops[*index == 2 ? 2 : 3]->Device()) << entry;
    }
}

TEST_F(DriveListOnFakeSystem, IndexesFollowTheKernelsNamingOrder) {
    REQUIRE_ROOT();
    EXPECT_EQ(drive::DrivePath(0), m_sysfs->DevPath("sda").string());
    EXPECT_EQ(drive::DrivePath(19), m_sysfs->DevPath("sdt").string());
    EXPECT_EQ(drive::DrivePath(20), "");
    EXPECT_EQ(drive::DrivePath(-1), "");
}

// Everything the list shows (text, identity, details) as one line per entry.
class ListedLines : public drive::DeviceListControl {
public:
    void ResetContent() override { lines.clear(); }
    void AddString(const std::string& text, const drive::ListedDrive& drive) override {
        lines += text + "|" + std::to_string(drive.drive.identity.device) + "|" +
                 std::to_string(drive.drive.identity.sequence) + "|" +
                 drive::FormatDriveDetails(drive.drive) + "\n";
    }
    std::string lines;
};

// Without the right to open a drive, the list comes from what the kernel tells every user, and
// must show the same as root's.
TEST_F(DriveListOnFakeSystem, AnUnprivilegedUserSeesWhatRootSees) {
    REQUIRE_ROOT();
    ListedLines root;
    drive::RefreshDriveList(root);
    int channel[2];
    ASSERT_EQ(::pipe(channel), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        std::string lines = "no privileges dropped";
        if (::setgid(65534) == 0 && ::setuid(65534) == 0) {
            drive::DriveHandle handle = drive::kInvalidDriveHandle;
            ListedLines user;
            drive::RefreshDriveList(user);
            lines = drive::OpenDrive(drive::DrivePath(2), handle) == 0 ? user.lines : "opened";
        }
        [[maybe_unused]] const auto sent = ::write(channel[1], lines.data(), lines.size());
        ::_exit(0);
    }
    ::close(channel[1]);
    std::string received;
    char buffer[4096];
    for (ssize_t got = 0; (got = ::read(channel[0], buffer, sizeof buffer)) > 0;) {
        received.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(channel[0]);
    ::waitpid(child, nullptr, 0);

    EXPECT_NE(root.lines.find("2: volume: 30 MB|"), std::string::npos) << root.lines;
    EXPECT_EQ(received, root.lines);
}

}  // namespace
