#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <future>
#include <memory>
#include <thread>

#include "command_line.h"
#include "faulty_drive.h"
#include "gtest_support.h"
#include "removable_drive.h"

namespace {

using cli::CommandLine;
using namespace testing_support;

constexpr std::uint64_t kMiB = 1024 * 1024;

// What one run of the command line printed and returned.
struct Printed {
    int status = -1;
    std::string out;
    std::string err;
};

std::string Contents(std::FILE* file) {
    std::rewind(file);
    std::string text;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        text += static_cast<char>(c);
    }
    return text;
}

Printed RunLine(const std::vector<std::string>& arguments) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::tmpfile(), std::fclose);
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> err(std::tmpfile(), std::fclose);
    Printed run;
    run.status = cli::RunCommandLine(cli::ParseCommandLine(arguments), out.get(), err.get());
    run.out = Contents(out.get());
    run.err = Contents(err.get());
    return run;
}

TEST(CommandLine, ListsAndImagesADriveAsTheWindowDoes) {
    REQUIRE_ROOT();
    const TempDir dir;
    RemovableDrive drive(dir, 4 * kMiB);

    const Printed list = RunLine({"--list"});
    EXPECT_EQ(list.status, cli::kExitComplete);
    EXPECT_EQ(list.out.rfind("0: volume: 4 MB\t" + drive.Sysfs().DevPath("sdz").string(), 0), 0U)
        << list.out;
    EXPECT_NE(list.out.find("Size: 4194304 bytes"), std::string::npos) << list.out;

    const auto image = dir / "card.img";
    const Printed copy = RunLine({"--image", "0", image.string()});
    EXPECT_EQ(copy.status, cli::kExitComplete) << copy.err;
    EXPECT_TRUE(SamePrefix(image, drive.LoopPath(), 4 * kMiB));
    EXPECT_TRUE(std::filesystem::exists(dir / "card.img.sha256"));

    const auto compressed = dir / "card.img.zst";
    const Printed verified = RunLine({"--image", "0", compressed.string(), "--verify"});
    EXPECT_EQ(verified.status, cli::kExitComplete) << verified.err;
    EXPECT_NE(verified.err.find("image complete and verified: " + compressed.string() + " (zstd, "),
              std::string::npos)
        << verified.err;
    const Printed again = RunLine({"--verify", "0", compressed.string()});
    EXPECT_EQ(again.status, cli::kExitComplete) << again.err;
    EXPECT_NE(again.err.find("verified: the drive matches"), std::string::npos) << again.err;

    const Printed missing = RunLine({"--image", "7", image.string()});
    EXPECT_EQ(missing.status, cli::kExitFailed);
    EXPECT_NE(missing.err.find("no removable drive 7"), std::string::npos) << missing.err;
}

// A bad sector ends a plain run with its reason; a rescue goes past it, fills it with zeros and
// maps it, and Ctrl+C cancels a run as the window's Cancel does.
TEST(CommandLine, EndsAtABadSectorOrRescuesPastIt) {
    REQUIRE_ROOT();
    const TempDir dir;
    const std::uint64_t size = 3 * kMiB;
    const std::uint64_t bad = kMiB + 3 * 512;
    const FaultyDrive drive(dir, size, {.badStart = bad, .badEnd = bad + 1024});
    ASSERT_TRUE(drive.IsReady());
    const auto image = dir / "worn.img";

    const Printed plain = RunLine({"--image", "0", image.string()});
    EXPECT_EQ(plain.status, cli::kExitFailed);
    EXPECT_NE(plain.err.find("failed: read error"), std::string::npos) << plain.err;

    const Printed rescue = RunLine({"--image", "0", image.string(), "--rescue", "--retries", "1"});
    EXPECT_EQ(rescue.status, cli::kExitUnreadableAreas) << rescue.err;
    EXPECT_NE(rescue.err.find("1024 unreadable bytes, written as zeros at 1050112+1024"),
              std::string::npos)
        << rescue.err;
    const std::string content = ReadFile(drive.Content());
    std::string expected = content;
    expected.replace(bad, 1024, 1024, '\0');
    EXPECT_TRUE(ReadFile(image) == expected) << "the image differs outside the bad range";
    EXPECT_EQ(ReadFile(dir / "worn.img.map"),
              "# Mapfile. Created by kalvor 1.0\n"
              "# Finished\n"
              "# current_pos  current_status  current_pass\n"
              "0x00000000     +               1\n"
              "#      pos        size  status\n"
              "0x00000000  0x00100600  +\n"
              "0x00100600  0x00000400  -\n"
              "0x00100A00  0x001FF600  +\n");
}

TEST(CommandLine, ShowsProgressAndCancelsOnInterrupt) {
    REQUIRE_ROOT();
    const TempDir dir;
    const FaultyDrive slow(dir, 6 * kMiB, {.bytesPerSecond = 2 * kMiB});
    ASSERT_TRUE(slow.IsReady());
    const auto image = dir / "slow.img";

    auto run = std::async(std::launch::async, [&] {
        return RunLine({"--image", "0", image.string()});
    });
    while (!std::filesystem::exists(image) || FileSize(image) < 3 * kMiB) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::raise(SIGINT);
    const Printed cancelled = run.get();

    EXPECT_EQ(cancelled.status, cli::kExitFailed);
    EXPECT_NE(cancelled.err.find(" KBps, "), std::string::npos) << cancelled.err;
    EXPECT_NE(cancelled.err.find("failed: cancelled"), std::string::npos) << cancelled.err;
}

}  // namespace
