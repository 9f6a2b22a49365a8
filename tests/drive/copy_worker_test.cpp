#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "copy_job.h"
#include "copy_worker.h"
#include "drive_probe.h"
#include "gtest_support.h"
#include "removable_drive.h"

namespace {

using imaging::FailureReason;
using imaging::Outcome;
using imaging::RunState;
using imaging::TheCopyJob;
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

    ASSERT_EQ(RunCopy(drive.DrivePath(), image), Outcome::Succeeded);

    EXPECT_FALSE(sourceWatch.SawWriteClose()) << "the drive was opened for writing";
    EXPECT_EQ(FileSize(image), size);
    EXPECT_TRUE(SamePrefix(image, drive.LoopPath(), size));
    EXPECT_EQ(TheCopyJob().totalBytes.load(), size);
    EXPECT_EQ(TheCopyJob().doneBytes.load(), size);
    EXPECT_NE(TheCopyJob().startTime.load(), 0);
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

    EXPECT_EQ(RunCopy(drive::DrivePath(0), image), Outcome::Succeeded);
    EXPECT_EQ(FileSize(image), size);
    EXPECT_TRUE(SamePrefix(image, loop.Path(), size));
}

TEST(CopyWorker, CancelKeepsAPrefixOfWholeChunksAndClosesBothFiles) {
    REQUIRE_ROOT();
    const TempDir dir;
    const std::uint64_t size = 512 * kMiB;
    const RemovableDrive drive(dir, size);
    const auto image = dir / "cancelled.img";
    const int descriptorsBefore = OpenDescriptorCount();

    imaging::CopyJob& job = TheCopyJob();
    imaging::PrepareRun(job, drive.DrivePath(), image);
    ASSERT_TRUE(imaging::LaunchCopyWorker());
    while (job.doneBytes.load() == 0 && job.runState.load() != RunState::Idle) {
        std::this_thread::yield();
    }
    imaging::RequestCancel(job);
    imaging::RequestCancel(job);
    WaitForIdle();

    EXPECT_EQ(job.outcome.load(), Outcome::Failed);
    EXPECT_EQ(job.failureReason.load(), FailureReason::Cancelled);
    EXPECT_EQ(job.runState.load(), RunState::Idle);
    const std::uint64_t copied = FileSize(image);
    EXPECT_GT(copied, 0U);
    EXPECT_LT(copied, size);
    EXPECT_EQ(copied % imaging::kChunkSize, 0U);
    EXPECT_EQ(copied, job.doneBytes.load());
    EXPECT_TRUE(SamePrefix(image, drive.LoopPath(), copied));
    EXPECT_EQ(OpenDescriptorCount(), descriptorsBefore);
}

TEST(CopyWorker, CancelAfterTheEndChangesNothing) {
    REQUIRE_ROOT();
    const TempDir dir;
    const RemovableDrive drive(dir, 1 * kMiB);
    ASSERT_EQ(RunCopy(drive.DrivePath(), dir / "done.img"), Outcome::Succeeded);

    imaging::RequestCancel(TheCopyJob());

    EXPECT_EQ(TheCopyJob().runState.load(), RunState::Idle);
    EXPECT_EQ(TheCopyJob().outcome.load(), Outcome::Succeeded);
}

TEST(CopyWorker, ADriveThatShrinksUnderTheCopyEndsFailed) {
    REQUIRE_ROOT();
    const TempDir dir;
    const std::uint64_t size = 1 * kGiB;
    const RemovableDrive drive(dir, size);
    const auto image = dir / "short.img";

    imaging::CopyJob& job = TheCopyJob();
    imaging::PrepareRun(job, drive.DrivePath(), image);
    ASSERT_TRUE(imaging::LaunchCopyWorker());
    while (job.doneBytes.load() == 0 && job.runState.load() != RunState::Idle) {
        std::this_thread::yield();
    }
    SHELL("truncate -s " + std::to_string(16 * kMiB) + " " + drive.BackingFile().string());
    ASSERT_TRUE(drive.Loop().ReadBackingSize());
    WaitForIdle();

    EXPECT_EQ(job.outcome.load(), Outcome::Failed);
    EXPECT_TRUE(job.failureReason.load() == FailureReason::DriveEndedEarly ||
                job.failureReason.load() == FailureReason::ReadError)
        << imaging::FailureReasonText(job.failureReason.load());
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

    EXPECT_EQ(RunCopy(drive.DrivePath(), image, chosen), Outcome::Failed);
    EXPECT_EQ(TheCopyJob().failureReason.load(), FailureReason::DriveChanged);
    EXPECT_FALSE(std::filesystem::exists(image));

    const drive::DriveIdentity current = IdentityOf(drive.DrivePath());
    EXPECT_EQ(current.device, chosen.device);
    EXPECT_EQ(RunCopy(drive.DrivePath(), image, current), Outcome::Succeeded);
    EXPECT_TRUE(SamePrefix(image, otherCard, 4 * kMiB));
}

TEST(CopyWorker, ADriveThatDoesNotOpenEndsFailedBeforeCopying) {
    const TempDir dir;
    const auto image = dir / "never.img";

    EXPECT_EQ(RunCopy((dir / "no-such-drive").string(), image), Outcome::Failed);
    EXPECT_EQ(TheCopyJob().failureReason.load(), FailureReason::DriveNotOpened);
    EXPECT_EQ(TheCopyJob().failureError.load(), ENOENT);

    EXPECT_EQ(TheCopyJob().startTime.load(), 0);
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

    EXPECT_EQ(RunCopy(drive::DrivePath(0), image), Outcome::Failed);
    EXPECT_EQ(TheCopyJob().failureReason.load(), FailureReason::NotRemovable);

    EXPECT_FALSE(std::filesystem::exists(image));
    EXPECT_EQ(TheCopyJob().startTime.load(), 0);
}

}  // namespace
