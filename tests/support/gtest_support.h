#pragma once

#include <gtest/gtest.h>

#include <string>

#include "copy_job.h"
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

// Runs a shell command; the test fails when it does not exit with 0.
#define SHELL(command) EXPECT_TRUE(::testing_support::RunCommand(command)) << (command)

namespace testing_support {

// Prepares the one copy job, launches the worker and waits for it to store Idle.
imaging::Outcome RunCopy(const std::string& devicePath, const std::string& imagePath,
                         drive::DriveIdentity expectedDrive = {});

// Waits until the worker has stored Idle; fails the test after two minutes.
void WaitForIdle();

}  // namespace testing_support
