#include <gtest/gtest.h>

#include "command_line.h"

namespace {

using cli::CommandLine;
using Action = CommandLine::Action;

TEST(CommandLine, ParsesWhatTheUsageShowsAndRefusesTheRest) {
    struct Case {
        std::vector<std::string> arguments;
        Action action;
        int index = -1;
        bool rescue = false;
        int retries = 2;
    };
    const Case cases[] = {
        {{}, Action::Window},
        {{"-platform", "offscreen"}, Action::Window},
        {{"--list"}, Action::List},
        {{"--help"}, Action::Help},
        {{"--version"}, Action::Version},
        {{"--image", "3", "card.img"}, Action::Image, 3},
        {{"--rescue", "--image", "19", "a b.img", "--retries", "5"}, Action::Image, 19, true, 5},
        {{"--image", "20", "card.img"}, Action::Invalid},
        {{"--image", "-1", "card.img"}, Action::Invalid},
        {{"--image", "1x", "card.img"}, Action::Invalid},
        {{"--image", "1"}, Action::Invalid},
        {{"--image", "1", ""}, Action::Invalid},
        {{"--rescue"}, Action::Invalid},
        {{"--list", "--rescue"}, Action::Invalid},
        {{"--image", "1", "c.img", "--retries"}, Action::Invalid},
        {{"--bogus"}, Action::Invalid},
    };
    for (const Case& c : cases) {
        const CommandLine line = cli::ParseCommandLine(c.arguments);
        const std::string shown = ::testing::PrintToString(c.arguments);
        EXPECT_EQ(line.action, c.action) << shown;
        if (c.action == Action::Image) {
            EXPECT_EQ(line.index, c.index) << shown;
            EXPECT_EQ(line.imagePath, c.arguments[c.rescue ? 3 : 2]) << shown;
            EXPECT_EQ(line.rescue, c.rescue) << shown;
            EXPECT_EQ(line.retries, c.retries) << shown;
        }
        if (c.action == Action::Invalid) {
            EXPECT_FALSE(line.error.empty()) << shown;
        }
    }
}

}  // namespace
