#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "copy_job.h"
#include "copy_worker.h"
#include "faulty_drive.h"
#include "gtest_support.h"
#include "removable_drive.h"

namespace {

using imaging::FailureReason;
using imaging::Outcome;
using imaging::RunState;
using imaging::TheCopyJob;
using namespace testing_support;
namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1024 * 1024;
// Not on a chunk or page boundary, so neither a whole chunk nor a whole page may be lost.
constexpr std::uint64_t kBadSector = 30'000'128;

std::set<std::string> NamesIn(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

bool ChecksumVerifies(const fs::path& image) {
    return RunCommand("cd '" + image.parent_path().string() + "' && sha256sum -c --strict '" +
                      image.filename().string() + ".sha256'");
}

void ExpectFailure(FailureReason reason) {
    EXPECT_EQ(TheCopyJob().outcome.load(), Outcome::Failed);
    EXPECT_EQ(TheCopyJob().failureReason.load(), reason)
        << imaging::FailureReasonText(TheCopyJob().failureReason.load());
}

void WaitUntilCopying(const imaging::CopyJob& job) {
    while (job.doneBytes.load() == 0 && job.runState.load() != RunState::Idle) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

TEST(ReadError, KeepsEveryReadableSectorBeforeTheBadOneAndNeverHangs) {
    REQUIRE_ROOT();
    const TempDir dir;
    const FaultyDrive drive(dir, 48 * kMiB, {.badStart = kBadSector, .badEnd = kBadSector + 512});
    ASSERT_TRUE(drive.IsReady());
    const auto image = dir / "worn.img";

    EXPECT_EQ(RunCopy(drive.DrivePath(), image), Outcome::Failed);

    ExpectFailure(FailureReason::ReadError);
    EXPECT_EQ(TheCopyJob().failureError.load(), EIO);
    const std::uint64_t kept = FileSize(image);
    EXPECT_LE(kept, kBadSector);
    EXPECT_LT(kBadSector - kept, 512U) << "readable sectors before the bad one were lost";
    EXPECT_EQ(TheCopyJob().doneBytes.load(), kept);
    EXPECT_TRUE(SamePrefix(image, drive.Content(), kept));
    EXPECT_FALSE(fs::exists(dir / "worn.img.sha256"));
}

// The old image stays byte for byte what it was, and nothing else is left beside it, however
// the replacing run fails; a replacing run that succeeds leaves the new image with a checksum
// that proves it.
TEST(ReplacingAnImage, FailedRunsLeaveTheOldOneAndASuccessReplacesIt) {
    REQUIRE_ROOT();
    const TempDir dir;
    const auto images = dir / "images";
    const ScopedMount volume("tmpfs", images, "-t tmpfs -o size=3m");
    ASSERT_TRUE(volume.IsMounted());
    const auto image = images / "card.img";
    WriteRandomFile(image, 1 * kMiB, 21);
    const std::string old = Fingerprint(image);
    const auto expectOldImageKept = [&](FailureReason reason) {
        ExpectFailure(reason);
        EXPECT_EQ(Fingerprint(image), old) << imaging::FailureReasonText(reason);
        EXPECT_EQ(NamesIn(images), std::set<std::string>{"card.img"});
    };
    {
        const FaultyDrive worn(dir, 2 * kMiB, {.badStart = kMiB, .badEnd = kMiB + 512});
        ASSERT_TRUE(worn.IsReady());
        RunCopy(worn.DrivePath(), image);
        expectOldImageKept(FailureReason::ReadError);
    }
    const RemovableDrive tooLarge(dir, 4 * kMiB);
    RunCopy(tooLarge.DrivePath(), image);
    expectOldImageKept(FailureReason::WriteError);
    EXPECT_EQ(TheCopyJob().failureError.load(), ENOSPC);

    const FaultyDrive slow(dir, 1 * kMiB, {.bytesPerSecond = 4 * kMiB});
    ASSERT_TRUE(slow.IsReady());
    imaging::PrepareRun(TheCopyJob(), slow.DrivePath(), image);
    ASSERT_TRUE(imaging::LaunchCopyWorker());
    WaitUntilCopying(TheCopyJob());
    imaging::RequestCancel(TheCopyJob());
    WaitForIdle();
    expectOldImageKept(FailureReason::Cancelled);

    EXPECT_EQ(RunCopy(slow.DrivePath(), image), Outcome::Succeeded);
    EXPECT_EQ(TheCopyJob().failureReason.load(), FailureReason::None);
    EXPECT_EQ(FileSize(image), 1 * kMiB);
    EXPECT_TRUE(SamePrefix(image, slow.Content(), 1 * kMiB));
    EXPECT_EQ(NamesIn(images), (std::set<std::string>{"card.img", "card.img.sha256"}));
    EXPECT_TRUE(ChecksumVerifies(image));
    {
        std::fstream flip(image, std::ios::in | std::ios::out | std::ios::binary);
        flip.seekg(777);
        const char byte = static_cast<char>(flip.get());
        flip.seekp(777);
        flip.put(static_cast<char>(byte ^ 1));
    }
    EXPECT_FALSE(ChecksumVerifies(image));
}

TEST(SlowDrive, ShowsProgressWhileTheCardIsRead) {
    REQUIRE_ROOT();
    const TempDir dir;
    const std::uint64_t size = 24 * kMiB;
    const FaultyDrive card(dir, size, {.bytesPerSecond = 20 * kMiB});
    ASSERT_TRUE(card.IsReady());
    const auto image = dir / "slow card.img";

    imaging::PrepareRun(TheCopyJob(), card.DrivePath(), image);
    ASSERT_TRUE(imaging::LaunchCopyWorker());
    std::set<std::uint64_t> seen;
    while (TheCopyJob().runState.load() != RunState::Idle) {
        seen.insert(TheCopyJob().doneBytes.load());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    EXPECT_EQ(TheCopyJob().outcome.load(), Outcome::Succeeded);
    seen.erase(0);
    seen.erase(size);
    EXPECT_GE(seen.size(), 5U) << "the done count did not move while the drive was read";
    EXPECT_TRUE(SamePrefix(image, card.Content(), size));
    EXPECT_TRUE(ChecksumVerifies(image));
}

// Two runs onto one path, once onto a new file and once onto an existing one: the second is
// refused as in use, and the first writes its image whole.
TEST(TwoRunsOnOnePath, OnlyTheFirstWritesTheImage) {
    REQUIRE_ROOT();
    const TempDir dir;
    const std::uint64_t size = 8 * kMiB;
    const FaultyDrive card(dir, size, {.bytesPerSecond = 16 * kMiB});
    ASSERT_TRUE(card.IsReady());
    const auto image = dir / "shared.img";
    for (const bool existing : {false, true}) {
        ASSERT_EQ(fs::exists(image), existing);
        imaging::PrepareRun(TheCopyJob(), card.DrivePath(), image);
        ASSERT_TRUE(imaging::LaunchCopyWorker());
        WaitUntilCopying(TheCopyJob());

        imaging::CopyJob second;
        imaging::PrepareRun(second, card.DrivePath(), image);
        imaging::RunCopyJob(second);
        EXPECT_EQ(second.outcome.load(), Outcome::Failed);
        EXPECT_EQ(second.failureReason.load(), FailureReason::ImageInUse);
        EXPECT_EQ(second.doneBytes.load(), 0U);

        WaitForIdle();
        EXPECT_EQ(TheCopyJob().outcome.load(), Outcome::Succeeded);
        EXPECT_EQ(FileSize(image), size);
        EXPECT_TRUE(SamePrefix(image, card.Content(), size));
    }
}

}  // namespace
