#pragma once

#include <gtest/gtest.h>

#include <string>

#include "run/copy_job.h"
#include "test_system.h"

#define REQUIRE_ROOT()                                                \
    do {                                                              \
        switch (::testing_support::CheckRoot()) {                     \
            case ::testing_support::RootCheck::Fail:                  \
                FAIL() << "this test needs root, and CI must run it"; \
            case ::testing_support::RootCheck::Skip:                  \
                GTEST_SKIP() << "needs root for loop devices";        \
            case ::testing_support::RootCheck::Run:                   \
                break;                                                \
        }                                                             \
    } while (false)

// Runs a shell command; the test fails when it does not exit with 0, and shows the command and
// what it said on its standard error.
#define SHELL(command)                                                                            \
    do {                                                                                          \
        std::string said_;                                                                        \
        EXPECT_TRUE(::testing_support::RunCommand(command, said_)) << (command) << "\n" << said_; \
    } while (false)

namespace testing_support {

// Prepares `job` for the request, launches its worker and waits for it to end; the result.
const imaging::CopyResult& RunCopy(imaging::CopyJob& job, const std::string& devicePath,
                                   const std::string& imagePath,
                                   drive::DriveIdentity expectedDrive = {});

// Prepares `job` and launches its worker, without waiting.
void StartCopy(imaging::CopyJob& job, const std::string& devicePath, const std::string& imagePath);

// Waits until the worker has ended; fails the test after two minutes.
void WaitForIdle(const imaging::CopyJob& job);

// Waits until the job has written something or ended.
void WaitUntilCopying(const imaging::CopyJob& job);

}  // namespace testing_support
