#include <gtest/gtest.h>

#include "copy_job.h"

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

    imaging::PrepareRun(job, "/dev/sdz", "/tmp/card.img");

    EXPECT_EQ(job.runState.load(), RunState::Running);
    EXPECT_EQ(job.doneBytes.load(), 0U);
    EXPECT_EQ(job.startTime.load(), 0);
    EXPECT_EQ(job.outcome.load(), imaging::Outcome::Succeeded);
    EXPECT_EQ(job.devicePath, "/dev/sdz");
    EXPECT_EQ(job.imagePath, "/tmp/card.img");
}

}  // namespace
