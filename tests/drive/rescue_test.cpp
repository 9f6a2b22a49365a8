#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <sstream>
#include <string_view>
#include <thread>

#include "faulty_drive.h"
#include "gtest_support.h"
#include "run/copy_job.h"
#include "run/copy_worker.h"

namespace {

using error::FailureReason;
using imaging::Outcome;
using namespace testing_support;
namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kSector = 512;

// A worn card: one large dying area and a few single bad sectors, none on a page boundary.
const DriveFaults kWorn = {
    .badStart = 6 * kMiB + 3 * kSector,
    .badEnd = 8 * kMiB + 5 * kSector,
    .badSectors = {kMiB + 3 * kSector, 10 * kMiB + 4096, 12 * kMiB + 7 * kSector}};
constexpr std::uint64_t kWornUnreadable = 2 * kMiB + 2 * kSector + 3 * kSector;

void StartRescue(imaging::CopyJob& job, const FaultyDrive& card, const fs::path& image) {
    imaging::PrepareRun(job, {.task = true ? imaging::Task::Rescue : imaging::Task::Image,
                              .drive = {.node = card.DrivePath()},
                              .imagePath = image.string(),
                              .retries = 2});
    ASSERT_TRUE(imaging::LaunchCopyWorker(job));
}

// The map beside `image`, as GNU ddrescuelog reads it, is true for the image: every sector it
// calls finished holds the drive's bytes, every other one zeros. Returns how many it calls
// finished.
std::size_t ExpectMapTrue(const fs::path& image, const std::string& content) {
    std::istringstream listed(Output("ddrescuelog -b 512 -l+ '" + image.string() + ".map'"));
    std::set<std::uint64_t> finished;
    for (std::uint64_t sector = 0; listed >> sector;) {
        finished.insert(sector);
    }
    const std::string bytes = ReadFile(image);
    EXPECT_EQ(bytes.size(), content.size());
    const std::string zeros(kSector, '\0');
    std::size_t untrue = 0;
    for (std::uint64_t at = 0; at + kSector <= std::min(bytes.size(), content.size());
         at += kSector) {
        const std::string_view held(bytes.data() + at, kSector);
        untrue += held != (finished.count(at / kSector) != 0
                               ? std::string_view(content).substr(at, kSector)
                               : std::string_view(zeros));
    }
    EXPECT_EQ(untrue, 0U) << "sectors the map belies in " << image;
    return finished.size();
}

// The readable sectors first and then the failing ones, to the sector: the same bad sectors as
// GNU ddrescue finds on the same card, a checksum that proves the image, and the rest of the
// image exactly the card's.
TEST(Rescue, FindsTheBadSectorsDdrescueFindsAndImagesTheRest) {
    REQUIRE_ROOT();
    const TempDir dir;
    const std::uint64_t size = 16 * kMiB;
    const FaultyDrive card(dir, size, kWorn);
    ASSERT_TRUE(card.IsReady());
    const auto image = dir / "worn.img";

    imaging::CopyJob job;
    StartRescue(job, card, image);
    WaitForIdle(job);

    EXPECT_EQ(job.result.outcome, Outcome::Succeeded) << error::DescribeFailure(job.result.failure);
    EXPECT_EQ(job.result.unreadableBytes, kWornUnreadable);
    EXPECT_EQ(job.result.unreadableRanges.size(), 4U);
    EXPECT_EQ(ExpectMapTrue(image, ReadFile(card.Content())), (size - kWornUnreadable) / kSector);
    SHELL("cd '" + dir.Path().string() + "' && sha256sum -c --strict worn.img.sha256");
    SHELL("ddrescue -q -d -r2 '" + card.DrivePath() + "' '" + (dir / "ddrescue.img").string() +
          "' '" + (dir / "ddrescue.map").string() + "'");
    SHELL("ddrescuelog -q -p '" + (dir / "ddrescue.map").string() + "' '" + image.string() +
          ".map'");
}

// A rescue that stops, cancelled or with its card pulled, leaves a map that is true for its
// image; continued from that map, it ends with the image and map of a rescue never stopped.
TEST(Rescue, StoppedKeepsATrueMapAndContinuesToTheSameImage) {
    REQUIRE_ROOT();
    const TempDir dir;
    const std::uint64_t size = 16 * kMiB;
    DriveFaults slow = kWorn;
    slow.bytesPerSecond = 16 * kMiB;
    const FaultyDrive card(dir, size, slow);
    ASSERT_TRUE(card.IsReady());
    const std::string content = ReadFile(card.Content());
    const auto image = dir / "continued.img";

    imaging::CopyJob cancelled;
    StartRescue(cancelled, card, image);
    while (!imaging::RunHasEnded(cancelled) && cancelled.progress.doneBytes.load() < 4 * kMiB) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    imaging::RequestCancel(cancelled);
    WaitForIdle(cancelled);
    EXPECT_EQ(cancelled.result.failure.reason, FailureReason::Cancelled);
    const std::size_t finished = ExpectMapTrue(image, content);
    EXPECT_GT(finished, 0U);
    EXPECT_LT(finished, (size - kWornUnreadable) / kSector);
    EXPECT_FALSE(fs::exists(dir / "continued.img.sha256"));

    imaging::CopyJob resumed;
    StartRescue(resumed, card, image);
    WaitForIdle(resumed);
    imaging::CopyJob whole;
    StartRescue(whole, card, dir / "whole.img");
    WaitForIdle(whole);

    EXPECT_EQ(resumed.result.outcome, Outcome::Succeeded);
    EXPECT_EQ(resumed.result.unreadableBytes, kWornUnreadable);
    EXPECT_TRUE(ReadFile(image) == ReadFile(dir / "whole.img"));
    EXPECT_EQ(ReadFile(dir / "continued.img.map"), ReadFile(dir / "whole.img.map"));
    SHELL("cd '" + dir.Path().string() + "' && sha256sum -c --strict continued.img.sha256");
}

// A card pulled in the middle of a run is not a bad sector: a plain run and a rescue alike end
// as "drive removed" at once, rather than zero-filling the rest sector by sector, and the
// rescue's map tells what was read.
TEST(Rescue, APulledCardEndsTheRunAsDriveRemoved) {
    REQUIRE_ROOT();
    for (const bool rescue : {false, true}) {
        const TempDir dir;
        // Larger than the reads kept in flight, so the pull lands before the last is asked for.
        FaultyDrive card(dir, 64 * kMiB, {.bytesPerSecond = 16 * kMiB});
        ASSERT_TRUE(card.IsReady());
        const auto image = dir / "pulled.img";
        imaging::CopyJob job;
        imaging::PrepareRun(job, {.task = rescue ? imaging::Task::Rescue : imaging::Task::Image,
                                  .drive = {.node = card.DrivePath()},
                                  .imagePath = image.string(),
                                  .retries = 2});
        ASSERT_TRUE(imaging::LaunchCopyWorker(job));
        WaitUntilCopying(job);
        card.Pull();
        WaitForIdle(job);

        EXPECT_EQ(job.result.failure.reason, FailureReason::DriveRemoved)
            << rescue << ": " << error::DescribeFailure(job.result.failure);
        EXPECT_EQ(job.result.unreadableBytes, 0U) << rescue;
        if (rescue) {
            EXPECT_GT(ExpectMapTrue(image, ReadFile(card.Content())), 0U);
        }
    }
}

}  // namespace
