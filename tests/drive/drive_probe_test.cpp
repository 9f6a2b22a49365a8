#include <gtest/gtest.h>

#include "drive_probe.h"
#include "fake_sysfs.h"
#include "gtest_support.h"
#include "loop_device.h"
#include "scoped_drive.h"

namespace {

using namespace testing_support;

constexpr std::uint64_t kMiB = 1024 * 1024;

struct Presentation {
    const char* bus;
    bool removableFlag;
    std::vector<std::string> holders;
    int removable;
};

class RemovableRule : public ::testing::TestWithParam<Presentation> {};

TEST_P(RemovableRule, FollowsTheFlagTheBusAndWhatIsStackedOnTheDisk) {
    REQUIRE_ROOT();
    const Presentation& presentation = GetParam();
    const TempDir dir;
    SHELL("truncate -s 8M " + (dir / "disk.bin").string());
    const LoopDevice loop(dir / "disk.bin");
    FakeSysfs sysfs(dir / "root");
    sysfs.Add({.name = "sdb",
               .node = loop.Path(),
               .deviceNumber = loop.DeviceNumber(),
               .bus = presentation.bus,
               .removableFlag = presentation.removableFlag,
               .holders = presentation.holders});

    drive::DriveHandle handle = drive::kInvalidDriveHandle;
    ASSERT_EQ(drive::OpenDrive(drive::DrivePath(0), handle), 1);
    const drive::ScopedDrive opened(handle);
    EXPECT_EQ(drive::IsRemovableDrive(opened.Get()), presentation.removable);
}

INSTANTIATE_TEST_SUITE_P(
    Presentations, RemovableRule,
    ::testing::Values(Presentation{"usb", false, {}, 1},  // USB card reader, flag unset
                      Presentation{"mmc", false, {}, 1},  // SD slot: never flagged
                      Presentation{"memstick", false, {}, 1},
                      Presentation{"pci", true, {}, 1},   // flagged on any bus
                      Presentation{"pci", false, {}, 0},  // fixed disk
                      Presentation{"scsi", false, {}, 0},
                      Presentation{"usb", true, {"dm-0"}, 0}  // LUKS or LVM on it: in use
                      ));

TEST(DriveGeometry, IsBuiltFromTheTrueLengthAndTheSectorSize) {
    REQUIRE_ROOT();
    const TempDir dir;
    // Not a whole number of cylinders (255 x 63 sectors), so the geometry product falls short.
    const std::uint64_t size = 300 * kMiB + 4096;
    SHELL("truncate -s " + std::to_string(size) + " " + (dir / "disk.bin").string());
    const LoopDevice loop(dir / "disk.bin", "-b 4096");
    FakeSysfs sysfs(dir / "root");
    sysfs.Add({.name = "mmcblk0",
               .node = loop.Path(),
               .deviceNumber = loop.DeviceNumber(),
               .bus = "mmc"});

    drive::DriveHandle handle = drive::kInvalidDriveHandle;
    ASSERT_EQ(drive::OpenDrive(drive::DrivePath(0), handle), 1);
    const drive::ScopedDrive opened(handle);
    drive::DriveGeometry geometry;
    ASSERT_EQ(drive::QueryDriveGeometry(opened.Get(), geometry), 1);

    EXPECT_EQ(geometry.BytesPerSector, 4096U);
    EXPECT_EQ(geometry.TracksPerCylinder, 255U);
    EXPECT_EQ(geometry.SectorsPerTrack, 63U);
    EXPECT_EQ(geometry.Cylinders, static_cast<std::int64_t>(size / 4096 / (255 * 63)));
    EXPECT_EQ(geometry.MediaType, drive::kRemovableMedia);
    EXPECT_LT(drive::GeometryCapacity(geometry), size);
    EXPECT_EQ(drive::DriveCapacity(opened.Get()), size);
}

TEST(DriveGeometry, OfADiskSmallerThanACylinderCountsItsSectors) {
    REQUIRE_ROOT();
    const TempDir dir;
    SHELL("truncate -s 1M " + (dir / "disk.bin").string());
    const LoopDevice loop(dir / "disk.bin");
    drive::DriveHandle handle = drive::kInvalidDriveHandle;
    ASSERT_EQ(drive::OpenDrive(loop.Path(), handle), 1);
    const drive::ScopedDrive opened(handle);
    drive::DriveGeometry geometry;
    ASSERT_EQ(drive::QueryDriveGeometry(opened.Get(), geometry), 1);

    EXPECT_EQ(drive::GeometryCapacity(geometry), 1 * kMiB);
    EXPECT_EQ(geometry.MediaType, drive::kFixedMedia);  // a loop device is no drive
}

TEST(DriveProbe, AnythingThatIsNotAnOpenDriveAnswersNothing) {
    const TempDir dir;
    drive::DriveHandle handle = 0;
    EXPECT_EQ(drive::OpenDrive("", handle), 0);
    EXPECT_EQ(handle, drive::kInvalidDriveHandle);
    EXPECT_EQ(drive::OpenDrive((dir / "absent").string(), handle), 0);
    EXPECT_EQ(handle, drive::kInvalidDriveHandle);

    drive::DriveGeometry geometry;
    EXPECT_EQ(drive::QueryDriveGeometry(drive::kInvalidDriveHandle, geometry), 0);
    EXPECT_EQ(drive::IsRemovableDrive(drive::kInvalidDriveHandle), 0);
    EXPECT_EQ(drive::DriveCapacity(drive::kInvalidDriveHandle), 0U);
}

}  // namespace
