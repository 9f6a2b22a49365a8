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
#include "command_line_run.h"
#include "faulty_drive.h"
#include "gtest_support.h"
#include "removable_drive.h"
#include "test_files.h"
#include "version.h"

namespace {

using cli::CommandLine;
using namespace testing_support;

constexpr std::uint64_t kMiB = 1024 * 1024;

// IMAGE.info as "key" -> "value"; a key given more than once keeps its last value.
std::map<std::string, std::string> InfoOf(const std::filesystem::path& image) {
    std::map<std::string, std::string> info;
    std::istringstream lines(ReadFile(image.string() + ".info"));
    for (std::string line; std::getline(lines, line);) {
        const std::size_t colon = line.find(": ");
        if (line.empty() || line[0] == '#' || colon == std::string::npos) {
            continue;
        }
        info[line.substr(0, colon)] = line.substr(colon + 2);
    }
    return info;
}

// The keys every IMAGE.info holds, whatever the run.
const char* const kInfoKeys[] = {"tool",
                                 "command",
                                 "host",
                                 "user",
                                 "started",
                                 "ended",
                                 "image",
                                 "format",
                                 "image-bytes",
                                 "imaged",
                                 "imaged-bytes",
                                 "drive-sha256",
                                 "drive-md5",
                                 "drive-sha1",
                                 "file-sha256",
                                 "verify",
                                 "unreadable-bytes",
                                 "unreadable-areas",
                                 "map",
                                 "source-node",
                                 "source-vendor",
                                 "source-model",
                                 "source-serial",
                                 "source-revision",
                                 "source-bytes",
                                 "source-sectors",
                                 "source-sector-size",
                                 "source-bus",
                                 "source-port",
                                 "source-identity",
                                 "source-read-only"};

void ExpectEveryInfoKey(const std::map<std::string, std::string>& info) {
    for (const char* key : kInfoKeys) {
        EXPECT_EQ(info.count(key), 1U) << key;
    }
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
    const Printed copy = RunLine({"--image", "0", image.string(), "--hash", "md5,sha1"});
    EXPECT_EQ(copy.status, cli::kExitComplete) << copy.err;
    EXPECT_TRUE(SamePrefix(image, drive.LoopPath(), 4 * kMiB));
    // The record and the extra checksum files, proved with the users' own tools.
    const std::string folder = "cd '" + dir.Path().string() + "' && ";
    SHELL(folder +
          "sha256sum -c --strict card.img.sha256 && md5sum -c --strict card.img.md5 && "
          "sha1sum -c --strict card.img.sha1");
    const auto info = InfoOf(image);
    ExpectEveryInfoKey(info);
    const auto digestOf = [&](const std::string& tool) {
        return Output(tool + " < " + drive.LoopPath()).substr(0, tool == "md5sum" ? 32 : 40);
    };
    EXPECT_EQ(info.at("drive-md5"), digestOf("md5sum"));
    EXPECT_EQ(info.at("drive-sha1"), digestOf("sha1sum"));
    EXPECT_EQ(info.at("drive-sha256"), Fingerprint(drive.LoopPath()).substr(0, 64));
    EXPECT_EQ(info.at("command"), "kalvor --image 0 " + image.string() + " --hash md5,sha1");
    EXPECT_EQ(info.at("imaged"), "whole drive");
    EXPECT_EQ(info.at("source-bytes"), "4194304");
    EXPECT_EQ(info.at("source-node"), drive::DrivePath(0));
    EXPECT_EQ(info.at("verify"), "not asked");

    const auto compressed = dir / "card.img.zst";
    const Printed verified = RunLine({"--image", "0", compressed.string(), "--verify"});
    EXPECT_EQ(verified.status, cli::kExitComplete) << verified.err;
    EXPECT_EQ(InfoOf(compressed).at("verify"), "passed");
    EXPECT_EQ(InfoOf(compressed).at("file-sha256"), Fingerprint(compressed).substr(0, 64));
    // A plain run onto the raw image takes no extra hashes: their old files would belie it.
    EXPECT_EQ(RunLine({"--image", "0", image.string()}).status, cli::kExitComplete);
    EXPECT_FALSE(std::filesystem::exists(dir / "card.img.md5"));
    EXPECT_EQ(InfoOf(image).at("drive-md5"), "");
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
    const auto info = InfoOf(image);
    ExpectEveryInfoKey(info);
    EXPECT_EQ(info.at("unreadable-bytes"), "1024");
    EXPECT_EQ(info.at("map"), "worn.img.map");
    EXPECT_EQ(info.at("drive-sha256"), "");
    EXPECT_EQ(info.at("file-sha256"), Fingerprint(image).substr(0, 64));
    EXPECT_EQ(ReadFile(dir / "worn.img.map"),
              "# Mapfile. Created by kalvor " + std::string(kVersion) +
                  "\n"
                  "# source: bytes=3145728; bus=USB; serial=; name=\n"
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
        // Shorter than the card: a run that set its length before checking would change it.
        WriteRandomFile(folder / "worn.img", 3 * kMiB, 7);
        WriteRandomFile(folder / "alien.img", 4 * kMiB, 8);
        put("alien.img.map", validMap);
        ASSERT_EQ(::chown(path("alien.img").c_str(), 65534, 65534), 0);
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
             "worn.img.map: line 1: not a mapfile"},
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
            {"another user's image",
             [] {},
             {"--image", "0", path("alien.img"), "--rescue"},
             "alien.img belongs to another user"},
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
    const FaultyDrive slow(dir, 8 * kMiB, {.bytesPerSecond = 2 * kMiB});
    ASSERT_TRUE(slow.IsReady());
    const auto image = dir / "slow.img";

    auto run = std::async(std::launch::async, [&] {
        return RunLine({"--image", "0", image.string()});
    });
    // Halfway through the card's 4 s, and past its first once-a-second progress line; the
    // image's length tells nothing here, as reads in flight may all end at once.
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    std::raise(SIGINT);
    const Printed cancelled = run.get();

    EXPECT_EQ(cancelled.status, cli::kExitFailed);
    EXPECT_NE(cancelled.err.find(" KBps, "), std::string::npos) << cancelled.err;
    EXPECT_NE(cancelled.err.find("failed: cancelled"), std::string::npos) << cancelled.err;
}

}  // namespace
