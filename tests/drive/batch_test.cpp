#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "command_line_run.h"
#include "drive_probe.h"
#include "faulty_drive.h"
#include "gtest_support.h"
#include "removable_cards.h"
#include "test_files.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1024 * 1024;

// Every line of `lines` is a JSON object, as Python's json module reads it.
bool AllJson(const std::string& lines) {
    const TempDir dir;
    const fs::path file = dir / "lines.json";
    SHELL("printf '%s' '" + lines + "' > " + file.string());
    return RunCommand(
        "python3 -c \"import json,sys\n[json.loads(l) for l in open(sys.argv[1])]\" " +
        file.string());
}

// One image onto three cards at once, each confirmed by --yes in order: every card then holds
// it, each verified, and the JSON lines say so card by card. The same image into images from
// two drives at once: each image is its drive.
TEST(Batch, WritesOneImageOntoEveryCardAndImagesSeveralDrives) {
    REQUIRE_ROOT();
    const TempDir dir;
    FakeSysfs sysfs(dir / "root");
    const RemovableCards cards(dir, sysfs);
    const fs::path image = dir / "system.img";
    WriteRandomFile(image, 12 * kMiB, 77);
    SHELL("gzip -k " + image.string());
    const std::string nodes =
        drive::DrivePath(0) + "," + drive::DrivePath(1) + "," + drive::DrivePath(2);

    // gzip: the cards share the decode of the count, the write and the verify.
    const Printed run =
        RunLine({"--restore", "0,1,2", image.string() + ".gz", "--yes=" + nodes, "--json"});

    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(AllJson(run.out)) << run.out;
    const std::string sha256 = Output("sha256sum " + image.string() + " | cut -c1-64");
    for (std::size_t card = 0; card < 3; ++card) {
        EXPECT_TRUE(RunCommand("cmp -n 12582912 " + image.string() + " " + cards.Loop(card)));
        EXPECT_NE(run.out.find("\"slot\":" + std::to_string(card) + ",\"node\":\"" +
                               drive::DrivePath(static_cast<int>(card)) + "\""),
                  std::string::npos);
    }
    std::istringstream lines(run.out);
    int results = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("\"event\":\"result\"") != std::string::npos) {
            ++results;
            EXPECT_NE(line.find("\"succeeded\":true"), std::string::npos) << line;
            EXPECT_NE(line.find("\"written_sha256\":\"" + sha256.substr(0, 64) + "\""),
                      std::string::npos)
                << line;
        }
    }
    EXPECT_EQ(results, 3);

    const Printed read = RunLine({"--image", "1", (dir / "one.img").string(), "--image", "2",
                                  (dir / "two.img").string(), "--verify"});
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_TRUE(RunCommand("cmp " + (dir / "one.img").string() + " " + cards.Loop(1)));
    EXPECT_TRUE(RunCommand("cmp " + (dir / "two.img").string() + " " + cards.Loop(2)));
    EXPECT_NE(read.err.find("slot 2 " + drive::DrivePath(2) + " SERIAL-sdy"), std::string::npos)
        << read.err;
}

// A batch that is refused writes nothing to any card: --yes naming too few cards, or in another
// order, an image that lies on one of the cards, and images of which one is the other's
// checksum file.
TEST(Batch, ARefusedBatchWritesNothingToAnyCard) {
    REQUIRE_ROOT();
    const TempDir dir;
    FakeSysfs sysfs(dir / "root");
    const RemovableCards cards(dir, sysfs);
    const fs::path image = dir / "system.img";
    WriteRandomFile(image, 4 * kMiB, 78);
    SHELL("mkfs.ext4 -q -F " + cards.Loop(2));
    const ScopedMount volume(cards.Loop(2), dir / "volume");
    ASSERT_TRUE(volume.IsMounted());
    SHELL("cp " + image.string() + " " + (dir / "volume" / "on-card.img").string());
    std::vector<std::string> before;
    for (std::size_t card = 0; card < 3; ++card) {
        before.push_back(Fingerprint(cards.Loop(card)));
    }
    const std::string first = drive::DrivePath(0);
    const std::string second = drive::DrivePath(1);
    struct Case {
        std::vector<std::string> arguments;
        std::string says;
    };
    const Case cases[] = {
        {{"--restore", "0,1", image.string(), "--yes=" + first},
         "--yes needs a node for each of the 2 cards, in order, and gives 1; nothing was written "
         "to any card"},
        {{"--restore", "0,1", image.string(), "--yes=" + second + "," + first},
         "does not name drive 0"},
        {{"--image", "0", (dir / "x.img").string(), "--image", "1",
          (dir / "x.img.sha256").string()},
         "would write the same file; nothing was written"},
        {{"--restore", "0,1,2", (dir / "volume" / "on-card.img").string(),
          "--yes=" + first + "," + second + "," + drive::DrivePath(2)},
         "on-card.img lies on drive 2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        const Printed run = RunLine(c.arguments);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    }
    EXPECT_FALSE(fs::exists(dir / "x.img"));
    SHELL("sync");
    for (std::size_t card = 0; card < 2; ++card) {
        EXPECT_EQ(Fingerprint(cards.Loop(card)), before[card]);
    }
}

// Four cards written at once: a plain one, a slow one, one whose writes fail in a range and one
// pulled half-way. The plain and the slow hold the image, each with the hashes of what was
// written and read back; the other two fail alone, each with its reason, named by slot and
// serial; every line on standard output is a JSON object.
TEST(Batch, EachCardEndsOnItsOwnWithItsHashesOrItsReason) {
    REQUIRE_ROOT();
    const TempDir dir;
    FaultyDrive pulled(dir, 16 * kMiB, {.bytesPerSecond = 4 * kMiB, .writable = true});
    FaultyDrive slow(dir, 16 * kMiB, {.bytesPerSecond = 8 * kMiB, .writable = true},
                     &pulled.Sysfs(), "sdu");
    FaultyDrive broken(dir, 16 * kMiB,
                       {.writable = true, .badWritesStart = 5 * kMiB, .badWritesEnd = 6 * kMiB},
                       &pulled.Sysfs(), "sdv");
    ASSERT_TRUE(pulled.IsReady() && slow.IsReady() && broken.IsReady());
    const RemovableCards cards(dir, pulled.Sysfs());
    const fs::path image = dir / "system.img";
    WriteRandomFile(image, 12 * kMiB, 79);
    const std::string sha256 = Output("sha256sum " + image.string()).substr(0, 64);
    // sdu, sdv, sdw, sdx, sdy, sdz: slow 0, broken 1, plain 2, pulled 5.
    const std::string nodes = drive::DrivePath(0) + "," + drive::DrivePath(1) + "," +
                              drive::DrivePath(2) + "," + drive::DrivePath(5);

    auto run = std::async(std::launch::async, [&] {
        return RunLine({"--restore", "0,1,2,5", image.string(), "--yes=" + nodes, "--json"});
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    pulled.Pull();
    const Printed printed = run.get();

    EXPECT_EQ(printed.status, 1);
    EXPECT_TRUE(AllJson(printed.out)) << printed.out;
    EXPECT_NE(printed.err.find("2 of 4 cards failed: slot 1 (" + drive::DrivePath(1) +
                               ") slot 5 (" + drive::DrivePath(5) + ")"),
              std::string::npos)
        << printed.err;
    const auto result = [&](int slot) {
        std::istringstream lines(printed.out);
        for (std::string line; std::getline(lines, line);) {
            if (line.find("\"event\":\"result\",\"slot\":" + std::to_string(slot) + ",") !=
                std::string::npos) {
                return line;
            }
        }
        return std::string();
    };
    for (const int slot : {0, 2}) {
        const std::string line = result(slot);
        EXPECT_NE(line.find("\"succeeded\":true"), std::string::npos) << line;
        EXPECT_NE(line.find("\"written_sha256\":\"" + sha256 + "\",\"card_sha256\":\"" + sha256 +
                            "\",\"card_bytes_read\":12582912"),
                  std::string::npos)
            << line;
    }
    EXPECT_TRUE(RunCommand("cmp -n 12582912 " + image.string() + " " + cards.Loop(0)));
    EXPECT_TRUE(RunCommand("cmp -n 12582912 " + image.string() + " " + slow.Content().string()));
    for (const auto& [slot, reason] :
         {std::pair{1, "write error"}, std::pair{5, "drive removed"}}) {
        const std::string line = result(slot);
        EXPECT_NE(line.find("\"succeeded\":false"), std::string::npos) << line;
        EXPECT_NE(line.find(reason), std::string::npos) << line;
    }
}

}  // namespace
