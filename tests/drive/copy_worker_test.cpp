#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "drive_probe.h"
#include "gtest_support.h"
#include "removable_drive.h"
#include "run/copy_job.h"
#include "run/copy_worker.h"

namespace {

using error::FailureReason;
using imaging::Outcome;
using imaging::RunState;
using namespace testing_support;

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kMiB = 1024 * kKiB;
constexpr std::uint64_t kGiB = 1024 * kMiB;

class ExactImage : public ::testing::TestWithParam<std::uint64_t> {};

// Sizes around the chunk size catch an off-by-one in the last, partial chunk.
TEST_P(ExactImage, HoldsEveryByteOfTheDriveAndNothingMore) {
    REQUIRE_ROOT();
    const TempDir dir;
    const std::uint64_t size = GetParam();
    const RemovableDrive drive(dir, size);
    const auto image = dir / "card.img";
    const WriteCloseWatch sourceWatch(drive.LoopPath());
    ASSERT_TRUE(sourceWatch.IsWatching());

    imaging::CopyJob job;
    ASSERT_EQ(RunCopy(job, drive.DrivePath(), image).outcome, Outcome::Succeeded);

    EXPECT_FALSE(sourceWatch.SawWriteClose()) << "the drive was opened for writing";
    EXPECT_EQ(FileSize(image), size);
    EXPECT_TRUE(SamePrefix(image, drive.LoopPath(), size));
    EXPECT_EQ(job.progress.totalBytes.load(), size);
    EXPECT_EQ(job.progress.doneBytes.load(), size);
    EXPECT_NE(job.progress.startTime.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(DriveSizes, ExactImage,
                         ::testing::Values(512, 64 * kKiB - 512, 64 * kKiB, 64 * kKiB + 512,
                                           37 * kMiB + 512));

TEST(ExactImage, OfADriveLargerThanFourGiB) {
    REQUIRE_ROOT();
    const TempDir dir;
    // Sparse, with marks at the start, across the 4 GiB line and in the last sector, where a
    // 32-bit count would lose them.
    const std::uint64_t size = 4 * kGiB + 64 * kKiB + 512;
    const auto backing = dir / "big.bin";
    SHELL("truncate -s " + std::to_string(size) + " " + backing.string());
    for (const std::uint64_t offset : {std::uint64_t{0}, 4 * kGiB - 300, size - 512}) {
        SHELL("head -c 512 /dev/urandom | dd of=" + backing.string() +
              " bs=1 seek=" + std::to_string(offset) + " conv=notrunc");
    }
    const LoopDevice loop(backing);
    FakeSysfs sysfs(dir / "root");
    sysfs.Add({.name = "sdb",
               .node = loop.Path(),
               .deviceNumber = loop.DeviceNumber(),
               .removableFlag = true});
    const auto mount = dir / "images";
    const ScopedMount images("tmpfs", mount, "-t tmpfs -o size=5g");
    ASSERT_TRUE(images.IsMounted());
    const auto image = mount / "big.img";

    imaging::CopyJob job;
    EXPECT_EQ(RunCopy(job, drive::DrivePath(0), image).outcome, Outcome::Succeeded);
    EXPECT_EQ(FileSize(image), size);
    EXPECT_TRUE(SamePrefix(image, loop.Path(), size));
}

// Each run is an object of its own: two at once, each on its own drive, are both exact.
TEST(CopyWorker, TwoJobsImageTwoDrivesAtOnce) {
    REQUIRE_ROOT();
    const TempDir dir;
    RemovableDrive first(dir, 64 * kMiB, 5);
    const auto secondBacking = dir / "second.bin";
    WriteRandomFile(secondBacking, 48 * kMiB, 6);
    const LoopDevice secondLoop(secondBacking);
    first.Sysfs().Add({.name = "sdaa",
                       .node = secondLoop.Path(),
                       .deviceNumber = secondLoop.DeviceNumber(),
                       .removableFlag = true});
    imaging::CopyJob jobs[2];
    StartCopy(jobs[0], drive::DrivePath(0), dir / "first.img");
    StartCopy(jobs[1], drive::DrivePath(1), dir / "second.img");
    WaitForIdle(jobs[0]);
    WaitForIdle(jobs[1]);

    EXPECT_EQ(jobs[0].result.outcome, Outcome::Succeeded);
    EXPECT_EQ(jobs[1].result.outcome, Outcome::Succeeded);
    EXPECT_EQ(FileSize(dir / "first.img"), 64 * kMiB);
    EXPECT_TRUE(SamePrefix(dir / "first.img", first.LoopPath(), 64 * kMiB));
    EXPECT_EQ(FileSize(dir / "second.img"), 48 * kMiB);
    EXPECT_TRUE(SamePrefix(dir / "second.img", secondBacking, 48 * kMiB));
    EXPECT_NE(jobs[0].result.driveSha256, jobs[1].result.driveSha256);
}

TEST(CopyWorker, CancelKeepsAPrefixOfWholeChunksAndClosesBothFiles) {
    REQUIRE_ROOT();
    const TempDir dir;
    const std::uint64_t size = 512 * kMiB;
    const RemovableDrive drive(dir, size);
    const auto image = dir / "cancelled.img";
    const int descriptorsBefore = OpenDescriptorCount();

    imaging::CopyJob job;
    StartCopy(job, drive.DrivePath(), image);
    WaitUntilCopying(job);
    imaging::RequestCancel(job);
    imaging::RequestCancel(job);
    WaitForIdle(job);

    EXPECT_EQ(job.result.outcome, Outcome::Failed);
    EXPECT_EQ(job.result.failure.reason, FailureReason::Cancelled);
    EXPECT_EQ(job.progress.runState.load(), RunState::Idle);
    const std::uint64_t copied = FileSize(image);
    EXPECT_GT(copied, 0U);
    EXPECT_LT(copied, size);
    EXPECT_EQ(copied % (64 * kKiB), 0U);
    EXPECT_EQ(copied, job.progress.doneBytes.load());
    EXPECT_TRUE(SamePrefix(image, drive.LoopPath(), copied));
    EXPECT_EQ(OpenDescriptorCount(), descriptorsBefore);
}

TEST(CopyWorker, CancelAfterTheEndChangesNothing) {
    REQUIRE_ROOT();
    const TempDir dir;
    const RemovableDrive drive(dir, 1 * kMiB);
    imaging::CopyJob job;
    ASSERT_EQ(RunCopy(job, drive.DrivePath(), dir / "done.img").outcome, Outcome::Succeeded);

    imaging::RequestCancel(job);

    EXPECT_EQ(job.progress.runState.load(), RunState::Idle);
    EXPECT_EQ(job.result.outcome, Outcome::Succeeded);
}

TEST(CopyWorker, ADriveThatShrinksUnderTheCopyEndsFailed) {
    REQUIRE_ROOT();
    const TempDir dir;
    const std::uint64_t size = 1 * kGiB;
    const RemovableDrive drive(dir, size);
    const auto image = dir / "short.img";

    imaging::CopyJob job;
    StartCopy(job, drive.DrivePath(), image);
    WaitUntilCopying(job);
    SHELL("truncate -s " + std::to_string(16 * kMiB) + " " + drive.BackingFile().string());
    ASSERT_TRUE(drive.Loop().ReadBackingSize());
    WaitForIdle(job);

    EXPECT_EQ(job.result.outcome, Outcome::Failed);
    EXPECT_TRUE(job.result.failure.reason == FailureReason::DriveEndedEarly ||
                job.result.failure.reason == FailureReason::DriveRemoved ||
                job.result.failure.reason == FailureReason::ReadError)
        << error::DescribeFailure(job.result.failure);
    EXPECT_LT(FileSize(image), size);
}

drive::DriveIdentity IdentityOf(const std::string& path) {
    drive::DriveHandle handle = drive::kInvalidDriveHandle;
    if (drive::OpenDrive(path, handle) == 0) {
        return {};
    }
    const drive::DriveIdentity identity = drive::QueryDriveIdentity(handle);
    drive::CloseDrive(handle);
    return identity;
}

TEST(CopyWorker, RefusesAnotherCardInTheSameReader) {
    REQUIRE_ROOT();
    const TempDir dir;
    const RemovableDrive drive(dir, 4 * kMiB);
    const drive::DriveIdentity chosen = IdentityOf(drive.DrivePath());
    ASSERT_NE(chosen.sequence, 0U);
    const auto otherCard = dir / "other.bin";
    WriteRandomFile(otherCard, 4 * kMiB, 8);
    // The same device node and number, another medium behind it.
    SHELL("losetup -d " + drive.LoopPath() + " && losetup " + drive.LoopPath() + " " +
          otherCard.string());
    const auto image = dir / "card.img";

    imaging::CopyJob job;
    EXPECT_EQ(RunCopy(job, drive.DrivePath(), image, chosen).failure.reason,
              FailureReason::DriveChanged);
    EXPECT_FALSE(std::filesystem::exists(image));

    const drive::DriveIdentity current = IdentityOf(drive.DrivePath());
    EXPECT_EQ(current.device, chosen.device);
    EXPECT_EQ(RunCopy(job, drive.DrivePath(), image, current).outcome, Outcome::Succeeded);
    EXPECT_TRUE(SamePrefix(image, otherCard, 4 * kMiB));
}

// The drive as it was confirmed, with its length and serial as listed: another length or serial
// at the same node is another card, whatever its identity says, and nothing is imaged.
TEST(CopyWorker, RefusesADriveOfAnotherLengthOrSerialThanConfirmed) {
    REQUIRE_ROOT();
    const TempDir dir;
    const auto backing = dir / "card.bin";
    WriteRandomFile(backing, 4 * kMiB, 3);
    const LoopDevice loop(backing);
    FakeSysfs sysfs(dir / "root");
    sysfs.Add({.name = "sdz",
               .node = loop.Path(),
               .deviceNumber = loop.DeviceNumber(),
               .removableFlag = true,
               .attributes = {{"device/serial", "CARD-1"}}});
    const std::string node = drive::DrivePath(0);
    const auto image = dir / "card.img";
    struct Case {
        std::uint64_t length;
        std::string serial;
        bool same;
    };
    for (const Case& c : {Case{4 * kMiB, "CARD-1", true}, Case{8 * kMiB, "CARD-1", false},
                          Case{4 * kMiB, "CARD-2", false}}) {
        SCOPED_TRACE(c.serial + " " + std::to_string(c.length));
        std::filesystem::remove(image);
        imaging::CopyJob job;
        imaging::PrepareRun(job, {.drive = {.node = node, .serial = c.serial, .length = c.length},
                                  .imagePath = image.string()});
        imaging::RunCopyJob(job);
        EXPECT_EQ(job.result.outcome == Outcome::Succeeded, c.same) << job.result.failure.message;
        EXPECT_EQ(job.result.failure.reason == FailureReason::DriveChanged, !c.same);
        EXPECT_EQ(std::filesystem::exists(image), c.same);
    }
}

TEST(CopyWorker, ADriveThatDoesNotOpenEndsFailedBeforeCopying) {
    const TempDir dir;
    const auto image = dir / "never.img";

    imaging::CopyJob job;
    const imaging::CopyResult& result = RunCopy(job, (dir / "no-such-drive").string(), image);
    EXPECT_EQ(result.outcome, Outcome::Failed);
    EXPECT_EQ(result.failure.reason, FailureReason::DriveNotOpened);
    EXPECT_EQ(result.failure.error, ENOENT);

    EXPECT_EQ(job.progress.startTime.load(), 0);
    EXPECT_FALSE(std::filesystem::exists(image));
}

TEST(CopyWorker, AFixedDiskIsNeverImaged) {
    REQUIRE_ROOT();
    const TempDir dir;
    const auto backing = dir / "fixed.bin";
    WriteRandomFile(backing, 1 * kMiB, 3);
    const LoopDevice loop(backing);
    FakeSysfs sysfs(dir / "root");
    sysfs.Add(
        {.name = "sda", .node = loop.Path(), .deviceNumber = loop.DeviceNumber(), .bus = "pci"});
    const auto image = dir / "fixed.img";

    imaging::CopyJob job;
    EXPECT_EQ(RunCopy(job, drive::DrivePath(0), image).failure.reason, FailureReason::NotRemovable);

    EXPECT_FALSE(std::filesystem::exists(image));
    EXPECT_EQ(job.progress.startTime.load(), 0);
}

}  // namespace
