#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <tuple>

#include "drive_probe.h"
#include "gtest_support.h"
#include "removable_drive.h"
#include "run/copy_job.h"

namespace {

using imaging::Outcome;
using namespace testing_support;
namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1024 * 1024;

// Every refused target ends the run Failed, leaves the source drive as it was and reports
// nothing as copied.
class RefusedTarget : public ::testing::Test {
protected:
    void ExpectRefused(const fs::path& target) {
        const std::string sourceBefore = Fingerprint(m_drive->LoopPath());
        const WriteCloseWatch sourceWatch(m_drive->LoopPath());
        ASSERT_TRUE(sourceWatch.IsWatching());
        const int descriptorsBefore = OpenDescriptorCount();

        imaging::CopyJob job;
        EXPECT_EQ(RunCopy(job, m_drive->DrivePath(), target).failure.reason,
                  error::FailureReason::ImageRefused);

        EXPECT_EQ(job.progress.startTime.load(), 0);
        EXPECT_EQ(job.progress.doneBytes.load(), 0U);
        EXPECT_EQ(OpenDescriptorCount(), descriptorsBefore);
        EXPECT_EQ(Fingerprint(m_drive->LoopPath()), sourceBefore);
        EXPECT_FALSE(sourceWatch.SawWriteClose()) << "the source was opened for writing";
    }

    void MakeDrive(std::uint64_t size) { m_drive = std::make_unique<RemovableDrive>(m_dir, size); }

    TempDir m_dir;
    std::unique_ptr<RemovableDrive> m_drive;
};

// Closing a disk that was opened for writing makes udev re-read its partitions, so the node
// must not even be opened for writing: inotify sees every such close.
TEST_F(RefusedTarget, ABlockDeviceNodeIsNeverOpenedForWriting) {
    REQUIRE_ROOT();
    MakeDrive(4 * kMiB);
    const auto victimBacking = m_dir / "victim.bin";
    WriteRandomFile(victimBacking, 4 * kMiB, 9);
    const LoopDevice victim(victimBacking);
    const std::string victimBefore = Fingerprint(victim.Path());
    const WriteCloseWatch victimWatch(victim.Path());
    ASSERT_TRUE(victimWatch.IsWatching());

    ExpectRefused(victim.Path());

    EXPECT_FALSE(victimWatch.SawWriteClose()) << "the device was opened for writing";
    EXPECT_EQ(Fingerprint(victim.Path()), victimBefore);
}

TEST_F(RefusedTarget, AFifoDoesNotHangTheWorker) {
    REQUIRE_ROOT();
    MakeDrive(1 * kMiB);
    const auto fifo = m_dir / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);

    ExpectRefused(fifo);
}

TEST_F(RefusedTarget, ADirectory) {
    REQUIRE_ROOT();
    MakeDrive(1 * kMiB);
    fs::create_directory(m_dir / "folder");

    ExpectRefused(m_dir / "folder");
    ExpectRefused((m_dir / "folder").string() + "/");
}

TEST_F(RefusedTarget, APathInAMissingDirectory) {
    REQUIRE_ROOT();
    MakeDrive(1 * kMiB);

    ExpectRefused(m_dir / "missing" / "card.img");

    EXPECT_FALSE(fs::exists(m_dir / "missing"));
}

TEST_F(RefusedTarget, AFileOnAFileSystemOfTheSourceDrive) {
    REQUIRE_ROOT();
    MakeDrive(16 * kMiB);
    SHELL("mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 " + m_drive->LoopPath());
    const auto mount = m_dir / "card";
    // Mounted writable, or the file system itself would refuse and hide a missing check.
    const ScopedMount card(m_drive->LoopPath(), mount);
    ASSERT_TRUE(card.IsMounted());

    ExpectRefused(mount / "card.img");
    ExpectRefused(mount / "lost+found" / "card.img");

    EXPECT_FALSE(fs::exists(mount / "card.img"));
    EXPECT_FALSE(fs::exists(mount / "lost+found" / "card.img"));
}

TEST_F(RefusedTarget, AnExistingFileOnTheSourceIsNotTruncated) {
    REQUIRE_ROOT();
    MakeDrive(16 * kMiB);
    SHELL("mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 " + m_drive->LoopPath());
    const auto mount = m_dir / "card";
    const ScopedMount card(m_drive->LoopPath(), mount);
    ASSERT_TRUE(card.IsMounted());
    std::ofstream(mount / "photo.jpg") << "precious";
    EXPECT_TRUE(FlushFile(mount / "photo.jpg"));
    // A link from elsewhere that leads onto the card.
    fs::create_symlink(mount / "photo.jpg", m_dir / "link.img");

    ExpectRefused(m_dir / "link.img");

    EXPECT_EQ(FileSize(mount / "photo.jpg"), 8U);
}

// tmpfs takes its writes through the page cache, ext4 straight to the disk at depth: a write
// that fails among those in flight ends the run as one write that fails.
TEST_F(RefusedTarget, AFullVolumeEndsFailedWithTheImageAPrefix) {
    REQUIRE_ROOT();
    MakeDrive(12 * kMiB);
    const auto ext4Backing = m_dir / "ext4.bin";
    WriteRandomFile(ext4Backing, 6 * kMiB, 3);
    SHELL("mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 " + ext4Backing.string());
    const LoopDevice ext4(ext4Backing);
    for (const auto& [kind, source, options] :
         {std::tuple{"tmpfs", std::string("tmpfs"), "-t tmpfs -o size=1m"},
          std::tuple{"ext4", ext4.Path(), ""}}) {
        SCOPED_TRACE(kind);
        const auto mount = m_dir / kind;
        const ScopedMount small(source, mount, options);
        ASSERT_TRUE(small.IsMounted());
        const auto image = mount / "card.img";

        imaging::CopyJob job;
        EXPECT_EQ(RunCopy(job, m_drive->DrivePath(), image).failure.reason,
                  error::FailureReason::WriteError);
        EXPECT_EQ(job.result.failure.error, ENOSPC);

        const std::uint64_t written = FileSize(image);
        EXPECT_LT(written, 12 * kMiB);
        EXPECT_LT(job.progress.doneBytes.load(), 12 * kMiB);
        EXPECT_TRUE(SamePrefix(image, m_drive->LoopPath(), written));
    }
}

TEST_F(RefusedTarget, AnExistingImageIsReplacedWhole) {
    REQUIRE_ROOT();
    MakeDrive(1 * kMiB);
    const auto image = m_dir / "old.img";
    WriteRandomFile(image, 3 * kMiB, 5);

    imaging::CopyJob job;
    EXPECT_EQ(RunCopy(job, m_drive->DrivePath(), image).outcome, Outcome::Succeeded);

    EXPECT_EQ(FileSize(image), 1 * kMiB);
    EXPECT_TRUE(SamePrefix(image, m_drive->LoopPath(), 1 * kMiB));
}

// An image whose name leaves no room for ".sha256" within the file system's 255 bytes would
// lose the old image to a checksum file that cannot be named: it is refused before anything.
TEST_F(RefusedTarget, ANameThatLeavesNoRoomForItsChecksumFile) {
    REQUIRE_ROOT();
    MakeDrive(1 * kMiB);
    for (const std::size_t length : {249, 255}) {
        const auto image = m_dir / std::string(length, 'n');
        WriteRandomFile(image, 2 * kMiB, 7);
        const std::string old = Fingerprint(image);

        ExpectRefused(image);

        EXPECT_EQ(Fingerprint(image), old) << length;
        fs::remove(image);
    }
}

// A side file that cannot take its name says which one, not only that a write failed.
TEST_F(RefusedTarget, AFailedRenameNamesItsFile) {
    REQUIRE_ROOT();
    MakeDrive(1 * kMiB);
    const auto image = m_dir / "card.img";
    fs::create_directories(m_dir / "card.img.sha256" / "in the way");
    imaging::CopyJob job;
    const imaging::CopyResult& result = RunCopy(job, m_drive->DrivePath(), image);
    EXPECT_EQ(result.failure.reason, error::FailureReason::WriteError);
    EXPECT_EQ(error::DescribeFailure(result.failure),
              "write error (renaming card.img.sha256: Is a directory)");
}

}  // namespace
