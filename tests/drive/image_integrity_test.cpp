#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include <unistd.h>

#include "faulty_drive.h"
#include "gtest_support.h"
#include "removable_drive.h"
#include "run/copy_job.h"
#include "run/copy_worker.h"

namespace {

using error::FailureReason;
using imaging::Outcome;
using imaging::RunState;
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

void ExpectFailure(const imaging::CopyJob& job, FailureReason reason) {
    EXPECT_EQ(job.result.outcome, Outcome::Failed);
    EXPECT_EQ(job.result.failure.reason, reason) << error::DescribeFailure(job.result.failure);
}

TEST(ReadError, KeepsEveryReadableSectorBeforeTheBadOneAndNeverHangs) {
    REQUIRE_ROOT();
    const TempDir dir;
    const FaultyDrive drive(dir, 48 * kMiB, {.badStart = kBadSector, .badEnd = kBadSector + 512});
    ASSERT_TRUE(drive.IsReady());
    const auto image = dir / "worn.img";

    imaging::CopyJob job;
    RunCopy(job, drive.DrivePath(), image);

    ExpectFailure(job, FailureReason::ReadError);
    EXPECT_EQ(job.result.failure.error, EIO);
    const std::uint64_t kept = FileSize(image);
    EXPECT_LE(kept, kBadSector);
    EXPECT_LT(kBadSector - kept, 512U) << "readable sectors before the bad one were lost";
    EXPECT_EQ(job.progress.doneBytes.load(), kept);
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
    imaging::CopyJob job;
    const auto expectOldImageKept = [&](FailureReason reason) {
        ExpectFailure(job, reason);
        EXPECT_EQ(Fingerprint(image), old) << error::FailureReasonText(reason);
        EXPECT_EQ(NamesIn(images), std::set<std::string>{"card.img"});
    };
    {
        const FaultyDrive worn(dir, 2 * kMiB, {.badStart = kMiB, .badEnd = kMiB + 512});
        ASSERT_TRUE(worn.IsReady());
        RunCopy(job, worn.DrivePath(), image);
        expectOldImageKept(FailureReason::ReadError);
    }
    const RemovableDrive tooLarge(dir, 4 * kMiB);
    RunCopy(job, tooLarge.DrivePath(), image);
    expectOldImageKept(FailureReason::WriteError);
    EXPECT_EQ(job.result.failure.error, ENOSPC);

    const FaultyDrive slow(dir, 1 * kMiB, {.bytesPerSecond = 4 * kMiB});
    ASSERT_TRUE(slow.IsReady());
    StartCopy(job, slow.DrivePath(), image);
    // The whole card is one read: cancelled while it is read, nothing of it is written.
    while (job.progress.startTime.load() == 0 && !imaging::RunHasEnded(job)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    imaging::RequestCancel(job);
    WaitForIdle(job);
    expectOldImageKept(FailureReason::Cancelled);

    EXPECT_EQ(RunCopy(job, slow.DrivePath(), image).outcome, Outcome::Succeeded);
    EXPECT_EQ(job.result.failure.reason, FailureReason::None);
    EXPECT_EQ(FileSize(image), 1 * kMiB);
    EXPECT_TRUE(SamePrefix(image, slow.Content(), 1 * kMiB));
    EXPECT_EQ(NamesIn(images), (std::set<std::string>{"card.img", "card.img.sha256",
                                                      "card.img.info", "card.img.bmap"}));
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

// A run killed outright leaves its hidden files behind: the next run onto that target removes
// those whose process is gone, steps over hidden names that are taken, and removes the map an
// earlier rescue left and the checksum files of hashes it does not take, which it would belie.
TEST(ReplacingAnImage, LeftoversOfKilledRunsGoAndTakenNamesAreSteppedOver) {
    REQUIRE_ROOT();
    const TempDir dir;
    const RemovableDrive card(dir, 1 * kMiB);
    fs::create_directory(dir / "images");
    const auto image = dir / "images" / "card.img";
    WriteRandomFile(image, 2 * kMiB, 3);
    std::set<std::string> expected = {"card.img", "card.img.sha256", "card.img.info",
                                      "card.img.bmap"};
    const std::string own = ".card.img.kalvor-" + std::to_string(::getpid()) + "-";
    for (int sequence = 0; sequence < 500; ++sequence) {
        std::ofstream(dir / "images" / (own + std::to_string(sequence)));
        expected.insert(own + std::to_string(sequence));
    }
    for (const char* stale : {".card.img.kalvor-99999999-3", ".card.img.sha256.kalvor-99999999-4",
                              "card.img.map", "card.img.md5"}) {
        std::ofstream(dir / "images" / stale) << "left";
    }

    imaging::CopyJob job;
    EXPECT_EQ(RunCopy(job, card.DrivePath(), image).outcome, Outcome::Succeeded)
        << error::DescribeFailure(job.result.failure);

    EXPECT_TRUE(SamePrefix(image, card.LoopPath(), 1 * kMiB));
    EXPECT_EQ(NamesIn(dir / "images"), expected);
}

TEST(SlowDrive, ShowsProgressWhileTheCardIsRead) {
    REQUIRE_ROOT();
    const TempDir dir;
    const std::uint64_t size = 48 * kMiB;
    // Slow enough that the card, not the writer, sets the pace even under ThreadSanitizer, where
    // the writer also maps the image's blocks.
    const FaultyDrive card(dir, size, {.bytesPerSecond = 12 * kMiB});
    ASSERT_TRUE(card.IsReady());
    const auto image = dir / "slow card.img";

    imaging::CopyJob job;
    StartCopy(job, card.DrivePath(), image);
    std::set<std::uint64_t> seen;
    while (!imaging::RunHasEnded(job)) {
        seen.insert(job.progress.doneBytes.load());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    EXPECT_EQ(job.result.outcome, Outcome::Succeeded);
    seen.erase(0);
    seen.erase(size);
    // The count moves a buffer of 4 MiB at a time (11 steps here); reads in flight may end
    // together, as the queue of threads hands the card its reads in whatever order its threads
    // reach it.
    EXPECT_GE(seen.size(), 6U) << "the done count did not move while the drive was read";
    EXPECT_TRUE(SamePrefix(image, card.Content(), size));
    EXPECT_TRUE(ChecksumVerifies(image));
}

// Two runs onto one path, once onto a new file and once onto an existing one: the second, of
// another card, is refused as the image is in use, and the first writes its image whole. A run
// of the card the first one holds is refused as the card is in use, whatever its image.
TEST(TwoRunsOnOnePath, OnlyTheFirstWritesTheImage) {
    REQUIRE_ROOT();
    const TempDir dir;
    const std::uint64_t size = 8 * kMiB;
    FaultyDrive card(dir, size, {.bytesPerSecond = 16 * kMiB});
    ASSERT_TRUE(card.IsReady());
    WriteRandomFile(dir / "other.bin", size, 4);
    const LoopDevice other(dir / "other.bin", "-r");
    const auto image = dir / "shared.img";
    const auto attach = [&](const std::string& node, const std::string& number) {
        card.Sysfs().Relink(
            "sdz", {.name = "sdz", .node = node, .deviceNumber = number, .removableFlag = true});
    };
    for (const bool existing : {false, true}) {
        ASSERT_EQ(fs::exists(image), existing);
        imaging::CopyJob first;
        StartCopy(first, card.DrivePath(), image);
        WaitUntilCopying(first);

        imaging::CopyJob sameCard;
        imaging::PrepareRun(sameCard,
                            {.drive = {.node = card.DrivePath()}, .imagePath = dir / "same.img"});
        imaging::RunCopyJob(sameCard);
        EXPECT_EQ(sameCard.result.failure.reason, FailureReason::HeldByAnotherProgram);
        EXPECT_FALSE(fs::exists(dir / "same.img"));

        attach(other.Path(), other.DeviceNumber());
        imaging::CopyJob second;
        imaging::PrepareRun(second, {.drive = {.node = card.DrivePath()}, .imagePath = image});
        imaging::RunCopyJob(second);
        EXPECT_EQ(second.result.outcome, Outcome::Failed);
        EXPECT_EQ(second.result.failure.reason, FailureReason::ImageInUse);
        EXPECT_EQ(second.progress.doneBytes.load(), 0U);
        attach(card.Loop().Path(), card.Loop().DeviceNumber());

        WaitForIdle(first);
        EXPECT_EQ(first.result.outcome, Outcome::Succeeded);
        EXPECT_EQ(FileSize(image), size);
        EXPECT_TRUE(SamePrefix(image, card.Content(), size));
    }
}

}  // namespace
