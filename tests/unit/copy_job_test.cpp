#include <gtest/gtest.h>

#include "copy_job.h"
#include "image_file.h"
#include "progress.h"

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
        job.runState = c.before;
        imaging::RequestCancel(job);
        EXPECT_EQ(job.runState.load(), c.after);
    }
}

TEST(CopyJob, PreparingARunResetsTheCountersButNotTheLastOutcome) {
    imaging::CopyJob job;
    job.outcome = imaging::Outcome::Succeeded;
    job.doneBytes = 77;
    job.startTime = 1234;
    job.totalBytes = 99;
    job.failureReason = imaging::FailureReason::ReadError;
    job.failureError = 5;

    imaging::PrepareRun(job, "/dev/sdz", "/tmp/card.img");

    EXPECT_EQ(job.runState.load(), RunState::Running);
    EXPECT_EQ(job.doneBytes.load(), 0U);
    EXPECT_EQ(job.startTime.load(), 0);
    EXPECT_EQ(job.totalBytes.load(), 0U);
    EXPECT_EQ(job.failureReason.load(), imaging::FailureReason::None);
    EXPECT_EQ(job.failureError.load(), 0);
    EXPECT_EQ(job.outcome.load(), imaging::Outcome::Succeeded);
    EXPECT_EQ(job.devicePath, "/dev/sdz");
    EXPECT_EQ(job.imagePath, "/tmp/card.img");
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
