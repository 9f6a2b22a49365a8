#include <gtest/gtest.h>

#include "drive_probe.h"
#include "scoped_drive.h"

namespace {

// Wine offers \\.\PhysicalDrive0 with a made-up fixed geometry, no length and nothing to read:
// the real calls and the fallback to the geometry's product.
TEST(WineDrive, OpensWithAFixedGeometryAndFallsBackToItsProduct) {
    drive::DriveHandle handle = drive::kInvalidDriveHandle;
    ASSERT_EQ(drive::DrivePath(0), "\\\\.\\PhysicalDrive0");
    ASSERT_EQ(drive::OpenDrive(drive::DrivePath(0), handle), 1);
    const drive::ScopedDrive opened(handle);

    drive::DriveGeometry geometry;
    ASSERT_EQ(drive::QueryDriveGeometry(opened.Get(), geometry), 1);
    EXPECT_EQ(geometry.MediaType, drive::kFixedMedia);
    EXPECT_GT(geometry.BytesPerSector, 0U);
    EXPECT_EQ(drive::IsRemovableDrive(opened.Get()), 0);
    EXPECT_EQ(drive::DriveCapacity(opened.Get()), drive::GeometryCapacity(geometry));
}

TEST(WineDrive, PathsAreBuiltForIndexesZeroToNineteenOnly) {
    EXPECT_EQ(drive::DrivePath(19), "\\\\.\\PhysicalDrive19");
    EXPECT_EQ(drive::DrivePath(20), "");
    drive::DriveHandle handle = nullptr;
    EXPECT_EQ(drive::OpenDrive("\\\\.\\PhysicalDrive19", handle), 0);
    EXPECT_EQ(handle, drive::kInvalidDriveHandle);
}

}  // namespace
