#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "command_line.h"

namespace {

using cli::CommandLine;
using Action = CommandLine::Action;

TEST(CommandLine, ParsesWhatTheUsageShowsAndRefusesTheRest) {
    struct Case {
        std::vector<std::string> arguments;
        Action action;
        int index = -1;
        std::string image;
        bool rescue = false;
        int retries = 2;
        bool verify = false;
    };
    const Case cases[] = {
        {{}, Action::Window},
        {{"-platform", "offscreen"}, Action::Window},
        {{"--list"}, Action::List},
        {{"-l"}, Action::List},
        {{"--help"}, Action::Help},
        {{"-h"}, Action::Help},
        {{"--version"}, Action::Version},
        {{"--image", "3", "card.img"}, Action::Image, 3, "card.img"},
        {{"--image=3", "card.img"}, Action::Image, 3, "card.img"},
        {{"--rescue", "--image", "19", "a b.img", "--retries", "5"},
         Action::Image,
         19,
         "a b.img",
         true,
         5},
        {{"--image", "1", "x", "--rescue", "--retries", "1"}, Action::Image, 1, "x", true, 1},
        {{"--image", "1", "--", "--rescue"}, Action::Image, 1, "--rescue"},
        {{"--image", "1", "x.zst", "--verify"}, Action::Image, 1, "x.zst", false, 2, true},
        {{"--verify", "2", "x.gz"}, Action::Verify, 2, "x.gz", false, 2, true},
        {{"--verify"}, Action::Invalid},
        {{"--verify", "2"}, Action::Invalid},
        {{"--verify", "2", "x", "--rescue"}, Action::Invalid},
        {{"--list", "--verify"}, Action::Invalid},
        {{"--list", "--partitions-only"}, Action::Invalid},
        {{"--image", "20", "card.img"}, Action::Invalid},
        {{"--image", "-1", "card.img"}, Action::Invalid},
        {{"--image", "1x", "card.img"}, Action::Invalid},
        {{"--image", "1"}, Action::Invalid},
        {{"--image", "1", ""}, Action::Invalid},
        // The file forgotten: no image may be named after the next option.
        {{"--image", "1", "--rescue"}, Action::Invalid},
        {{"--image", "1", "a.img", "b.img"}, Action::Invalid},
        // Two actions at once.
        {{"--image", "1", "x", "--list"}, Action::Invalid},
        {{"--list", "--help"}, Action::Invalid},
        {{"--rescue"}, Action::Invalid},
        {{"--list", "--rescue"}, Action::Invalid},
        {{"--image", "1", "c.img", "--retries", "3"}, Action::Invalid},
        {{"--image", "1", "c.img", "--rescue", "--retries"}, Action::Invalid},
        {{"--image", "1", "c.img", "--rescue", "--retries", "101"}, Action::Invalid},
        {{"--image", "1", "c.img.zst", "--rescue"}, Action::Invalid},
        {{"--bogus"}, Action::Invalid},
        {{"--list", "stray"}, Action::Invalid},
        {{"card.img"}, Action::Invalid},
    };
    const auto created = std::filesystem::current_path() / "--rescue";
    for (const Case& c : cases) {
        const CommandLine line = cli::ParseCommandLine(c.arguments);
        const std::string shown = ::testing::PrintToString(c.arguments);
        EXPECT_EQ(line.action, c.action) << shown;
        if (c.action == Action::Image || c.action == Action::Verify) {
            EXPECT_EQ(line.index, c.index) << shown;
            EXPECT_EQ(line.imagePath, c.image) << shown;
            EXPECT_EQ(line.rescue, c.rescue) << shown;
            EXPECT_EQ(line.retries, c.retries) << shown;
            EXPECT_EQ(line.verify, c.verify) << shown;
        }
        if (c.action == Action::Invalid) {
            EXPECT_FALSE(line.error.empty()) << shown;
            std::FILE* const sink = std::tmpfile();
            EXPECT_EQ(cli::RunCommandLine(line, sink, sink, sink), cli::kExitUsage) << shown;
            std::fclose(sink);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(created)) << "a usage error created an image";
    // A repeated option is refused by its name, whichever of its forms came twice.
    for (const auto& [arguments, error] :
         std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--restore", "0", "x.img", "--yes=/dev/sdc", "--yes=/dev/sdb"}, "--yes given twice"},
             {{"--image", "0", "x.img", "--image", "1"},
              "--image takes a drive index from 0 to 19 and an image file"},
             {{"--restore", "1,1", "x.img"}, "drive 1 named twice"},
             {{"--image", "1", "a.img", "--image", "2", "a.img"},
              "a.img named twice: each drive needs its own image"},
             {{"--rescue", "--image", "1", "a.img", "--image", "2", "b.img"},
              "--rescue takes one drive at a time"},
             {{"--list", "--json"}, "--json goes with --image or --restore"},
             {{"-l", "--list"}, "--list given twice"},
             {{"--restore", "0", "x.img", "--skip-empty", "--skip-empty"},
              "--skip-empty given twice"}}) {
        EXPECT_EQ(cli::ParseCommandLine(arguments).error, error);
    }
    // Several drives: --image once per drive, each with its image; --restore's list of cards.
    const CommandLine images =
        cli::ParseCommandLine({"--image", "1", "a.img", "--image", "2", "b.img", "--json"});
    EXPECT_EQ(images.indexes, (std::vector<int>{1, 2}));
    EXPECT_EQ(images.imagePaths, (std::vector<std::string>{"a.img", "b.img"}));
    EXPECT_TRUE(images.json);
    EXPECT_EQ(cli::ParseCommandLine({"--restore", "3,1", "x.img"}).indexes,
              (std::vector<int>{3, 1}));
    EXPECT_TRUE(
        cli::ParseCommandLine({"--partitions-only", "--image", "2", "c.img"}).partitionsOnly);
    EXPECT_FALSE(cli::ParseCommandLine({"--image", "2", "c.img"}).partitionsOnly);
}

}  // namespace
