#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <string>
#include <vector>

#include "disk_usage.h"
#include "drive_list.h"
#include "drive_probe.h"
#include "kernel_name_order.h"

namespace {

TEST(KernelNameOrder, SortsDisksAsTheKernelNamesThem) {
    std::vector<std::string> names = {"sdaa",    "sdb",     "vda",     "mmcblk10",
                                      "nvme0n1", "sda",     "mmcblk2", "nvme10n1",
                                      "sdz",     "nvme2n1", "hdb",     "mmcblk0"};
    std::sort(names.begin(), names.end(), drive::KernelNameLess);
    EXPECT_EQ(names, (std::vector<std::string>{"hdb", "mmcblk0", "mmcblk2", "mmcblk10", "nvme0n1",
                                               "nvme2n1", "nvme10n1", "sda", "sdb", "sdz", "sdaa",
                                               "vda"}));
}

TEST(DriveEntry, ShowsWholeMegabytesAndReadsBackItsIndex) {
    struct Case {
        int index;
        std::uint64_t capacity;
        const char* text;
    };
    for (const Case& c :
         {Case{1, 30ULL << 20, "1: volume: 30 MB"},
          Case{11, (5ULL << 20) + 1048575, "11: volume: 5 MB"}, Case{0, 1048575, "0: volume: 0 MB"},
          Case{19, 64ULL << 30, "19: volume: 65536 MB"}}) {
        EXPECT_EQ(drive::FormatDriveEntry(c.index, c.capacity), c.text);
        EXPECT_EQ(drive::DriveIndexFromEntry(c.text), c.index);
    }
    EXPECT_EQ(drive::DriveIndexFromEntry("volume: 30 MB"), std::nullopt);
    EXPECT_EQ(drive::DriveIndexFromEntry(""), std::nullopt);
    EXPECT_EQ(drive::DriveIndexFromEntry("  7: typed"), 7);
}

TEST(GeometryCapacity, IsFormedInSixtyFourBits) {
    drive::DriveGeometry geometry;
    geometry.Cylinders = 5'000'000'000;
    geometry.TracksPerCylinder = 255;
    geometry.SectorsPerTrack = 63;
    geometry.BytesPerSector = 512;
    EXPECT_EQ(drive::GeometryCapacity(geometry), 5'000'000'000ULL * 255 * 63 * 512);
}

TEST(MountInfo, ReadsDeviceMountPointAndSourceOfEachLine) {
    const char* text =
        "22 1 254:1 / / rw,relatime shared:1 - ext4 /dev/vda1 rw\n"
        "30 22 0:26 / /home rw,relatime shared:9 master:2 - btrfs /dev/sdb2 rw\n"
        "41 22 8:17 / /media/my\\040card rw - vfat /dev/sdb1 rw\n"
        "garbage\n";
    const std::vector<drive::MountEntry> mounts = drive::ParseMountInfo(text);
    ASSERT_EQ(mounts.size(), 3U);
    EXPECT_EQ(mounts[0].device, makedev(254, 1));
    EXPECT_EQ(mounts[0].mountPoint, "/");
    EXPECT_EQ(mounts[0].source, "/dev/vda1");
    EXPECT_EQ(mounts[1].device, makedev(0, 26));
    EXPECT_EQ(mounts[1].source, "/dev/sdb2");
    EXPECT_EQ(mounts[2].mountPoint, "/media/my card");
}

}  // namespace
