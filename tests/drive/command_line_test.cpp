#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <thread>

#include "command_line.h"
#include "faulty_drive.h"
#include "gtest_support.h"
#include "removable_drive.h"
#include "test_files.h"

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
              "# source: 3145728 bytes\n"
              "# Finished\n"
              "# current_pos  current_status  current_pass\n"
              "0x00000000     +               1\n"
              "#      pos        size  status\n"
              "0x00000000  0x00100600  +\n"
              "0x00100600  0x00000400  -\n"
              "0x00100A00  0x001FF600  +\n");
}

// Everything in `folder`, as a later run must find it again when it was to change nothing:
// each entry's kind, and a regular file's digest or a link's target.
std::map<std::string, std::string> Snapshot(const std::filesystem::path& folder) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const auto status = entry.symlink_status();
        entries[entry.path().filename().string()] =
            std::filesystem::is_symlink(status)
                ? "link to " + std::filesystem::read_symlink(entry).string()
            : std::filesystem::is_regular_file(status) ? Fingerprint(entry.path())
                                                       : "not a file";
    }
    return entries;
}

// Files that anyone who may write to the image's folder can put beside it: none may crash a run,
// hang it, lead its writes elsewhere, change a refused image, or pass for a match.
TEST(CommandLine, NoFileBesideTheImageCrashesHangsRedirectsOrPassesForAMatch) {
    REQUIRE_ROOT();
    const TempDir dir;
    const auto folder = dir / "images";
    std::filesystem::create_directory(folder);
    const auto path = [&](const std::string& name) { return (folder / name).string(); };
    const auto put = [&](const std::string& name, const std::string& content) {
        std::ofstream(folder / name, std::ios::binary) << content;
    };
    const std::string validMap =
        "# Mapfile\n0x00000000 ? 1\n0x00000000 0x00100000 +\n0x00100000 0x00300000 ?\n";
    {
        RemovableDrive drive(dir, 4 * kMiB);
        // Hidden names of dead or impossible writers: absurd, other images' and not numbers.
        const std::vector<std::string> strays = {".card.img.kalvor-99999999999999999999999-1",
                                                 ".card.img2.kalvor-999999999-1",
                                                 ".card.img.kalvor-x-1", ".card.img.kalvor--1"};
        for (const std::string& stray : strays) {
            put(stray, "x");
        }
        const Printed copy = RunLine({"--image", "0", path("card.img")});
        EXPECT_EQ(copy.status, cli::kExitComplete) << copy.err;
        EXPECT_TRUE(SamePrefix(path("card.img"), drive.LoopPath(), 4 * kMiB));
        for (const std::string& stray : strays) {
            EXPECT_TRUE(std::filesystem::exists(folder / stray)) << stray;
        }
        std::filesystem::copy_file(path("card.img"), path("damaged.img"));
        std::filesystem::copy_file(path("card.img.sha256"), path("damaged.img.sha256"));
        std::fstream(path("damaged.img"), std::ios::in | std::ios::out | std::ios::binary)
            .seekp(3 * kMiB)
            .put('\x5a');
        std::filesystem::copy_file(path("card.img.sha256"), path("ghost.img.sha256"));
        std::filesystem::copy_file(path("card.img"), path("probe.img"));
        WriteRandomFile(folder / "worn.img", 5 * kMiB, 7);
        put("worn.img.sha256", "0000  worn.img\n");
        put("victim", "root's own file");

        struct Row {
            std::string name;
            std::function<void()> plant;
            std::vector<std::string> arguments;
            std::string said;
        };
        const std::vector<Row> rows = {
            {"FIFO as map",
             [&] { ::mkfifo(path("worn.img.map").c_str(), 0600); },
             {"--image", "0", path("worn.img"), "--rescue"},
             "worn.img.map: not a regular file"},
            {"/dev/zero as map",
             [&] { std::filesystem::create_symlink("/dev/zero", folder / "worn.img.map"); },
             {"--image", "0", path("worn.img"), "--rescue"},
             "worn.img.map: a link, not a file"},
            {"garbage map",
             [&] { put("worn.img.map", "garbage\n"); },
             {"--image", "0", path("worn.img"), "--rescue"},
             "worn.img.map: not a mapfile"},
            {"huge map",
             [&] {
                 put("worn.img.map", "");
                 std::filesystem::resize_file(folder / "worn.img.map", kMiB);
             },
             {"--image", "0", path("worn.img"), "--rescue"},
             "more than such a file holds"},
            {"planted link",
             [&] {
                 std::filesystem::create_symlink(folder / "victim", folder / "linked.img");
                 put("linked.img.map", validMap);
             },
             {"--image", "0", path("linked.img"), "--rescue"},
             "linked.img is a link"},
            {"FIFO as checksum file",
             [&] { ::mkfifo(path("probe.img.sha256").c_str(), 0600); },
             {"--verify", "0", path("probe.img")},
             "probe.img.sha256: not a regular file"},
            {"/dev/zero as checksum file",
             [&] { std::filesystem::create_symlink("/dev/zero", folder / "probe.img.sha256"); },
             {"--verify", "0", path("probe.img")},
             "probe.img.sha256: a link, not a file"},
            {"missing image",
             [] {},
             {"--verify", "0", path("ghost.img")},
             "ghost.img: No such file"},
            {"damaged image",
             [] {},
             {"--verify", "0", path("damaged.img")},
             "damaged.img differs from its line in damaged.img.sha256"},
        };
        for (const Row& row : rows) {
            SCOPED_TRACE(row.name);
            std::filesystem::remove(folder / "worn.img.map");
            std::filesystem::remove(folder / "probe.img.sha256");
            row.plant();
            const auto before = Snapshot(folder);
            const Printed run = RunLine(row.arguments);
            EXPECT_EQ(run.status, cli::kExitFailed) << run.err;
            EXPECT_NE(run.err.find(row.said), std::string::npos) << run.err;
            EXPECT_EQ(Snapshot(folder), before);
        }
        EXPECT_EQ(RunLine({"--verify", "0", path("card.img")}).status, cli::kExitComplete);

        // A map that a recovery tool of its own wrote names no drive: its finished areas decide.
        const Printed rescued = RunLine({"--image", "0", path("other.img"), "--rescue"});
        ASSERT_EQ(rescued.status, cli::kExitComplete) << rescued.err;
        std::string map = ReadFile(folder / "other.img.map");
        map.erase(map.find("# source: "),
                  map.find('\n', map.find("# source: ")) + 1 - map.find("# source: "));
        put("other.img.map", map);
    }
    const TempDir elsewhere;
    RemovableDrive another(elsewhere, 4 * kMiB, 2);
    const auto before = Snapshot(folder);
    const Printed mixed = RunLine({"--image", "0", path("other.img"), "--rescue"});
    EXPECT_EQ(mixed.status, cli::kExitFailed) << mixed.err;
    EXPECT_NE(mixed.err.find("the map is of another drive"), std::string::npos) << mixed.err;
    EXPECT_EQ(Snapshot(folder), before);
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
