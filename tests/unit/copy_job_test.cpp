#include <gtest/gtest.h>

#include "image/image_file.h"
#include "run/copy_job.h"
#include "run/image_info.h"
#include "run/progress.h"

namespace {

using imaging::RunState;

TEST(CopyJob, OnlyARunningJobTakesACancelRequest) {
    struct Case {
        RunState before;
        RunState after;
    };
    for (const Case& c : {Case{RunState::Running, RunState::CancelRequested},
                          Case{RunState::CancelRequested, RunState::CancelRequested},
                          Case{RunState::Idle, RunState::Idle}}) {
        imaging::CopyJob job;
        job.progress.runState = c.before;
        imaging::RequestCancel(job);
        EXPECT_EQ(job.progress.runState.load(), c.after);
    }
}

TEST(CopyJob, PreparingARunStartsItsProgressAndResultAfresh) {
    imaging::CopyJob job;
    job.request.task = imaging::Task::Rescue;
    job.result.outcome = imaging::Outcome::Failed;
    job.result.failure = {error::FailureReason::ReadError, 5, "x"};
    job.result.verified = true;
    job.result.unreadableBytes = 512;
    job.result.unreadableRanges = {{0, 512}};
    job.progress.doneBytes = 77;
    job.progress.startTime = 1234;
    job.progress.totalBytes = 99;

    imaging::PrepareRun(job, {.drive = {.node = "/dev/sdz"}, .imagePath = "/tmp/card.img"});

    EXPECT_EQ(job.progress.runState.load(), RunState::Running);
    EXPECT_EQ(job.progress.doneBytes.load(), 0U);
    EXPECT_EQ(job.progress.startTime.load(), 0);
    EXPECT_EQ(job.progress.totalBytes.load(), 0U);
    EXPECT_FALSE(job.result.failure);
    EXPECT_FALSE(job.result.verified);
    EXPECT_FALSE(job.result.verified);
    EXPECT_EQ(job.result.unreadableBytes, 0U);
    EXPECT_TRUE(job.result.unreadableRanges.empty());
    EXPECT_EQ(job.request.task, imaging::Task::Image);
    EXPECT_EQ(job.request.drive.node, "/dev/sdz");
    EXPECT_EQ(job.request.imagePath, "/tmp/card.img");
}

// sha256sum reads a name with a backslash or a newline only in its escaped form.
TEST(ChecksumLine, EscapesWhatSha256sumWouldMisread) {
    EXPECT_EQ(imaging::ChecksumLine("ab12", "card 1.img"), "ab12  card 1.img\n");
    EXPECT_EQ(imaging::ChecksumLine("ab12", "a\\b\nc"), "\\ab12  a\\\\b\\nc\n");
}

TEST(Progress, NoTimeGoneByShowsASpeedOfZero) {
    for (const std::int64_t elapsed : {0, -3}) {
        const imaging::ProgressReading reading = imaging::ReadProgress(elapsed, 4096, 8192);
        EXPECT_EQ(reading.speed, "0 KBps");
        EXPECT_EQ(reading.percent, 50);
        EXPECT_FALSE(reading.remaining.has_value());
    }
}

}  // namespace

namespace {

// The record's times, across a leap day, the epoch and a century that is no leap year.
TEST(ImageRecord, WritesTimesInUtc) {
    const std::pair<std::int64_t, const char*> cases[] = {
        {0, "1970-01-01T00:00:00Z"},          {951782400, "2000-02-29T00:00:00Z"},
        {1796770038, "2026-12-08T22:47:18Z"}, {-1, "1969-12-31T23:59:59Z"},
        {4102444800, "2100-01-01T00:00:00Z"},
    };
    for (const auto& [seconds, text] : cases) {
        EXPECT_EQ(imaging::UtcTime(seconds), text) << seconds;
    }
}

}  // namespace
