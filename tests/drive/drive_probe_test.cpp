#include <gtest/gtest.h>

#include "drive.h"
#include "drive_details.h"
#include "drive_probe.h"
#include "fake_sysfs.h"
#include "gtest_support.h"
#include "loop_device.h"
#include "scoped_drive.h"

namespace drive {

// Failures show the drive as the user would see it.
void PrintTo(const Drive& drive, std::ostream* out) {
    *out << FormatDriveDetails(drive) << "\nidentity " << drive.identity.device << ":"
         << drive.identity.sequence << ", removable " << drive.removable;
}

}  // namespace drive

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

// A drive is described the same whether it is open or not: every field the kernel tells, and
// none it does not.
TEST(DriveDescription, TellsWhatTheKernelTellsOpenOrNot) {
    REQUIRE_ROOT();
    const TempDir dir;
    SHELL("truncate -s 8M " + (dir / "disk.bin").string());
    const LoopDevice loop(dir / "disk.bin");
    struct Row {
        const char* bus;
        std::vector<std::pair<std::string, std::string>> attributes;
        drive::Drive expected;
    };
    const std::string node = (dir / "root" / "dev" / "sdb").string();
    const auto described = [&](drive::Drive drive) {
        drive.node = node;
        drive.length = 8 * kMiB;
        drive.logicalSectorSize = 512;
        drive.physicalSectorSize = 512;
        drive.removable = true;
        drive.volumesKnown = true;
        return drive;
    };
    const Row rows[] = {
        {"usb",
         {{"device/vendor", "Kingston "},
          {"device/model", "DataTraveler 3.0"},
          {"device/rev", "PMAP"},
          {"device/../devnum", "7"},
          {"device/../serial", "E0D55EA5741"},
          {"queue/logical_block_size", "512"},
          {"queue/physical_block_size", "512"}},
         described({.vendor = "Kingston",
                    .model = "DataTraveler 3.0",
                    .serial = "E0D55EA5741",
                    .revision = "PMAP",
                    .bus = "USB",
                    .port = "usb port"})},
        {"mmc",
         {{"device/name", "SD32G"},
          {"device/serial", "0x1a2b3c4d"},
          {"ro", "1"},
          {"queue/logical_block_size", "512"},
          {"queue/physical_block_size", "512"}},
         described({.model = "SD32G",
                    .serial = "0x1a2b3c4d",
                    .bus = "SD/MMC",
                    .port = "port",
                    .readOnly = true})},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.bus);
        FakeSysfs sysfs(dir / "root");
        sysfs.Add({.name = "sdb",
                   .node = loop.Path(),
                   .deviceNumber = loop.DeviceNumber(),
                   .bus = row.bus,
                   .attributes = row.attributes});
        drive::Drive expected = row.expected;
        expected.identity = {loop.Device(), 0};
        const auto listed = drive::ListWithoutOpening(node);
        ASSERT_TRUE(listed.has_value());
        expected.identity.sequence = listed->identity.sequence;
        EXPECT_NE(expected.identity.sequence, 0U);
        EXPECT_EQ(*listed, expected) << drive::FormatDriveDetails(*listed);

        drive::DriveHandle handle = drive::kInvalidDriveHandle;
        ASSERT_EQ(drive::OpenDrive(node, handle), 1);
        const drive::ScopedDrive opened(handle);
        EXPECT_EQ(drive::DescribeOpenDrive(opened.Get(), node), expected);
        const std::string details = drive::FormatDriveDetails(expected);
        for (const std::string& part :
             {node, "serial " + expected.serial, std::string("Size: 8388608 bytes (8.4 MB)"),
              std::string("Not mounted")}) {
            EXPECT_NE(details.find(part), std::string::npos) << part << " in " << details;
        }
        EXPECT_EQ(details.find("Write-protected") != std::string::npos, expected.readOnly);
        std::filesystem::remove_all(dir / "root");
    }
}
