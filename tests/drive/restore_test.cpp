#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "command_line.h"
#include "command_line_run.h"
#include "faulty_drive.h"
#include "gtest_support.h"
#include "image/image_format.h"
#include "removable_drive.h"
#include "test_files.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1024 * 1024;

// A card as a camera leaves it: a GPT with one FAT partition of 6 MiB at 1 MiB, over old bytes.
fs::path CardContent(const TempDir& dir, const std::string& name, std::uint64_t size) {
    const fs::path backing = dir / name;
    WriteRandomFile(backing, size, 11);
    SHELL("sgdisk -o -n 1:2048:+6M -t 1:0700 " + backing.string() + " >/dev/null");
    SHELL("mkfs.fat --offset 2048 " + backing.string() + " 6144 >/dev/null");
    return backing;
}

// The partition of a card laid out as CardContent lays it out, checked by fsck.vfat.
bool PartitionChecks(const std::string& card) {
    const std::string loop = Output("losetup -f --show -r -o 1048576 --sizelimit 6291456 " + card);
    const bool clean = RunCommand("fsck.vfat -n " + loop + " >/dev/null");
    RunCommand("losetup -d " + loop);
    return clean;
}

// The card's partitions as sfdisk lists them, without the lines that name the device itself.
std::string Partitions(const std::string& card) {
    return Output("sfdisk -d " + card + " | grep 'start=' | sed 's/^[^:]*://'");
}

bool HasPartitionTable(const std::string& card) {
    return !Output("blkid -p -o value -s PTTYPE " + card).empty();
}

// Each form of image, made from one card by the program itself, onto another card of the same
// size: the card then holds exactly the first card's bytes, and the summary says so.
TEST(Restore, PutsEveryFormBackAsTheCardWas) {
    REQUIRE_ROOT();
    const TempDir images;
    {
        const TempDir sourceDir;
        const RemovableDrive source(sourceDir, CardContent(sourceDir, "card.bin", 16 * kMiB));
        for (const char* name : {"card.img", "card.img.zst", "card.img.gz"}) {
            ASSERT_EQ(RunLine({"--image", "0", (images / name).string()}).status, 0) << name;
        }
        fs::copy_file(source.BackingFile(), images / "original.bin");
    }
    for (const char* name : {"card.img", "card.img.zst", "card.img.gz"}) {
        SCOPED_TRACE(name);
        const TempDir dir;
        const RemovableDrive card(dir, 16 * kMiB, 5);
        const Printed run =
            RunLine({"--restore", "0", (images / name).string(), "--yes=" + card.DrivePath()});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find("ALL DATA on it will be replaced by"), std::string::npos) << run.out;
        EXPECT_NE(run.err.find("Card restored and verified"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("the card now holds exactly what the imaged card held"),
                  std::string::npos)
            << run.err;
        EXPECT_EQ(Fingerprint(card.LoopPath()), Fingerprint(images / "original.bin"));
    }
}

// A partitions-only image onto a card twice its card's size: the GPT's backup goes to the new
// card's end, so the tools that check tables find nothing wrong, and the partition is intact.
TEST(Restore, FitsAPartitionsOnlyGptToALargerCard) {
    REQUIRE_ROOT();
    const TempDir images;
    const fs::path image = images / "parts.img.zst";
    std::string partitions;
    {
        const TempDir sourceDir;
        const RemovableDrive source(sourceDir, CardContent(sourceDir, "card.bin", 16 * kMiB));
        ASSERT_EQ(RunLine({"--image", "0", image.string(), "--partitions-only"}).status, 0);
        partitions = Partitions(source.LoopPath());
    }
    const TempDir dir;
    const RemovableDrive card(dir, 32 * kMiB, 5);
    const Printed run = RunLine({"--restore", "0", image.string(), "--yes=" + card.DrivePath()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("GPT fitted to the card's 33,554,432 bytes"), std::string::npos)
        << run.err;
    EXPECT_NE(Output("sgdisk -v " + card.LoopPath()).find("No problems found"), std::string::npos);
    EXPECT_EQ(Partitions(card.LoopPath()), partitions);
    EXPECT_TRUE(PartitionChecks(card.LoopPath()));
}

// With --skip-empty only the image's data reaches the card: its empty stretch leaves the card's
// old bytes where they were, and the verify compares the data alone. Its holes are not read, but
// where a published checksum covers the image they are hashed all the same.
TEST(Restore, SkipEmptyWritesOnlyTheData) {
    REQUIRE_ROOT();
    const TempDir dir;
    const fs::path image = dir / "sparse.img";
    SHELL("truncate -s 16M " + image.string() + " && sgdisk -o -n 1:2048:+6M " + image.string() +
          " >/dev/null && head -c 1M /dev/urandom | dd of=" + image.string() +
          " bs=1M seek=2 conv=notrunc status=none");
    // The MiB at `mib` of `a` and `b` are the same.
    const auto same = [](const std::string& a, const std::string& b, int mib) {
        const std::string at = std::to_string(mib * kMiB);
        return RunCommand("cmp -n 1048576 -i " + at + ":" + at + " " + a + " " + b);
    };
    for (const bool published : {false, true}) {
        SCOPED_TRACE(published ? "with its published checksum" : "alone");
        if (published) {
            SHELL("cd " + image.parent_path().string() +
                  " && sha256sum sparse.img > sparse.img.sha256");
        }
        const TempDir cardDir;
        const RemovableDrive card(cardDir, 16 * kMiB, 5);
        const std::string old = (cardDir / "old.bin").string();
        SHELL("cp " + card.LoopPath() + " " + old);

        const Printed run = RunLine(
            {"--restore", "0", image.string(), "--yes=" + card.DrivePath(), "--skip-empty"});

        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(
            run.err.find(" of empty blocks not written: the card keeps its old content there"),
            std::string::npos)
            << run.err;
        EXPECT_EQ(run.err.find("matches the SHA-256 in sparse.img.sha256") != std::string::npos,
                  published)
            << run.err;
        EXPECT_TRUE(same(image.string(), card.LoopPath(), 0));
        EXPECT_TRUE(same(image.string(), card.LoopPath(), 2));
        EXPECT_TRUE(same(old, card.LoopPath(), 1));
        EXPECT_TRUE(same(old, card.LoopPath(), 8));
        EXPECT_NE(Output("sgdisk -v " + card.LoopPath()).find("No problems found"),
                  std::string::npos);
    }
}

// Images that go on though they are not the card's size: the summary names what went on and
// what did not, and the hash it shows is of the card's bytes it names.
TEST(Restore, SaysWhatWentOnTheCard) {
    REQUIRE_ROOT();
    const TempDir images;
    const fs::path zeros = images / "zeros.img";
    WriteRandomFile(zeros, 16 * kMiB, 8);
    SHELL("truncate -s 20M " + zeros.string());
    // Data past the card's end, but past the last partition too: two zstd frames, each with its
    // length.
    const fs::path parted = CardContent(images, "parted.img", 20 * kMiB);
    const fs::path frames = images / "frames.img.zst";
    SHELL("head -c 10M " + parted.string() + " | zstd -q -c > " + frames.string() +
          " && tail -c 10M " + parted.string() + " | zstd -q -c >> " + frames.string());
    const fs::path unaligned = images / "unaligned.img";
    WriteRandomFile(unaligned, 10 * kMiB + 777, 9);
    struct Case {
        fs::path image;
        const char* says;
        std::uint64_t sameAs;  // the image's first bytes the card holds
    };
    const Case cases[] = {
        {zeros, "; 4.2 MB of empty space past the card's end not written", 16 * kMiB},
        {parted, "; 4.2 MB past the last partition, not written", 0},
        {frames, "; 4.2 MB past the last partition, not written", 0},
        {unaligned, "; the card's last 6.3 MB are past the image's end", 10 * kMiB + 777},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.image.filename().string());
        const TempDir dir;
        const RemovableDrive card(dir, 16 * kMiB, 5);

        const Printed run =
            RunLine({"--restore", "0", c.image.string(), "--yes=" + card.DrivePath()});

        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        // The card's bytes read back, as many as the summary says, hash as it says.
        const std::string prefix = "the card reads back as written: SHA-256 ";
        const std::size_t at = run.err.find(prefix);
        ASSERT_NE(at, std::string::npos) << run.err;
        const std::string hash = run.err.substr(at + prefix.size(), 64);
        const std::string bytes = run.err.substr(at + prefix.size() + 78);
        std::string counted = bytes.substr(0, bytes.find(' '));
        counted.erase(std::remove(counted.begin(), counted.end(), ','), counted.end());
        EXPECT_EQ(
            Output("head -c " + counted + " " + card.LoopPath() + " | sha256sum | cut -c1-64"),
            hash + "\n");
        if (c.sameAs != 0) {
            EXPECT_TRUE(RunCommand("cmp -n " + std::to_string(c.sameAs) + " " + c.image.string() +
                                   " " + card.LoopPath()));
        } else {
            EXPECT_NE(Output("sgdisk -v " + card.LoopPath()).find("No problems found"),
                      std::string::npos);
            EXPECT_TRUE(PartitionChecks(card.LoopPath()));
        }
    }
}

// Every refusal ends the run before the card is opened for writing: not a byte of it changes.
TEST(Restore, EachRefusalLeavesTheCardAsItWas) {
    REQUIRE_ROOT();
    const TempDir images;
    const fs::path good = images / "good.img";
    WriteRandomFile(good, 4 * kMiB, 3);
    const fs::path large = images / "large.img";
    WriteRandomFile(large, 20 * kMiB, 4);
    const fs::path largeGzip = images / "large.img.gz";
    SHELL("gzip -1 -c " + large.string() + " > " + largeGzip.string());
    const fs::path empty = images / "empty.img";
    SHELL("truncate -s 0 " + empty.string());
    const fs::path emptyGzip = images / "empty.img.gz";
    SHELL("gzip -c < /dev/null > " + emptyGzip.string());
    using Arguments =
        std::function<std::vector<std::string>(const RemovableDrive&, const TempDir&)>;
    struct Case {
        const char* name;
        Arguments arguments;
        const char* says;
    };
    // The image at `image` restored onto the card, confirmed by its node.
    const auto restoring = [](const fs::path& image) -> Arguments {
        return [image](const RemovableDrive& card, const TempDir&) {
            return std::vector<std::string>{"--restore", "0", image.string(),
                                            "--yes=" + card.DrivePath()};
        };
    };
    const Case cases[] = {
        {"no terminal and no --yes",
         [&](const RemovableDrive&, const TempDir&) {
             return std::vector<std::string>{"--restore", "0", good.string()};
         },
         "no terminal to confirm on: --yes="},
        {"--yes names another node",
         [&](const RemovableDrive&, const TempDir&) {
             return std::vector<std::string>{"--restore", "0", good.string(), "--yes=/dev/sdq"};
         },
         "--yes=/dev/sdq does not name drive 0"},
        {"no such image", restoring(images / "ghost.img"),
         "No such file or directory); nothing was written to the card"},
        {"image longer than the card, with data past its end", restoring(large),
         "image larger than the card (by 4,194,304 bytes (4.2 MB)); nothing was written"},
        {"gzip image longer than the card, its length found by decoding it", restoring(largeGzip),
         "image larger than the card (by 4,194,304 bytes (4.2 MB)); nothing was written"},
        {"empty raw image", restoring(empty), "image is empty; nothing was written to the card"},
        {"gzip image that decodes to nothing", restoring(emptyGzip),
         "image is empty; nothing was written to the card"},
        {"lock switch",
         [&](const RemovableDrive& card, const TempDir&) {
             SHELL("blockdev --setro " + card.LoopPath());
             return std::vector<std::string>{"--restore", "0", good.string(),
                                             "--yes=" + card.DrivePath()};
         },
         "card is write-protected: slide its lock switch to unlock it"},
        {"image on the card itself",
         [&](const RemovableDrive& card, const TempDir& dir) {
             // On a busy machine udev may still hold the new device: it settles first, the
             // loop device is the one this test attached, and a mount is tried twice.
             const std::string loop = card.LoopPath();
             SHELL("udevadm settle; losetup -n -O BACK-FILE " + loop + " | grep -qxF " +
                   card.BackingFile().string());
             SHELL("mkfs.ext4 -q -F " + loop + " && udevadm settle");
             const fs::path mount = dir / "mounted";
             const auto mountOnce = [&](const std::string& options) {
                 const std::string command = "mount " + options + loop + " " + mount.string();
                 return "(" + command + " || (sleep 1; udevadm settle; " + command + "))";
             };
             SHELL("mkdir -p " + mount.string() + " && " + mountOnce("") + " && cp " +
                   good.string() + " " + mount.string() + " && umount " + mount.string() + " && " +
                   mountOnce("-o ro "));
             return std::vector<std::string>{"--restore", "0", (mount / "good.img").string(),
                                             "--yes=" + card.DrivePath()};
         },
         "lies on the card it would be written to"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir dir;
        const RemovableDrive card(dir, 16 * kMiB, 5);
        const std::vector<std::string> arguments = c.arguments(card, dir);
        const std::string before = Fingerprint(card.LoopPath());
        const Printed run = RunLine(arguments);
        EXPECT_EQ(run.status, cli::kExitFailed);
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_EQ(Fingerprint(card.LoopPath()), before);
        RunCommand("umount " + (dir / "mounted").string() + " 2>/dev/null");
        RunCommand("blockdev --setrw " + card.LoopPath());
    }
}

// Fake cards, whose controller wraps every offset past what they hold back to the start. A wrap
// on a 64th of the card or a power of two is found before the long write, and the sectors the
// probe used are put back; one where no mark lands on another is found by the verify, which
// names it.
TEST(Restore, RefusesACardThatHoldsLessThanItReports) {
    REQUIRE_ROOT();
    const TempDir dir;
    const fs::path image = dir / "image.img";
    WriteRandomFile(image, 12 * kMiB, 6);
    const std::uint64_t card = 16 * kMiB;
    const auto part = [&](std::uint64_t k, std::uint64_t of) { return card / 512 * k / of * 512; };
    struct Case {
        std::uint64_t reports;
        std::uint64_t wrapsAt;
        std::string says;
    };
    const Case cases[] = {
        {card, part(1, 64),
         "card holds less than it reports (it reports 16.8 MB (16,777,216 bytes) but holds only "
         "about 0.3 MB (262,144 bytes)); nothing was written"},
        {card, part(16, 64), "holds only about 4.2 MB (4,194,304 bytes)); nothing was written"},
        {card, part(48, 64), "holds only about 12.6 MB (12,582,912 bytes)); nothing was written"},
        {card, part(60, 64), "holds only about 15.7 MB (15,728,640 bytes)); nothing was written"},
        {card, part(63, 64), "holds only about 16.5 MB (16,515,072 bytes)); nothing was written"},
        {32'000'000'000, 8ULL << 30,
         "it reports 32.0 GB (32,000,000,000 bytes) but holds only about 8.6 GB "
         "(8,589,934,592 bytes)); nothing was written"},
        // Off the grid, and no mark lands on another: the verify finds it.
        {card, 6 * kMiB + 1024,
         "card holds less than it reports (counterfeit: the card returns at byte 1,048,576 what "
         "was written at byte 7,341,056; it holds only about 6.3 MB)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        const TempDir cardDir;
        const bool large = c.reports > card;
        const FaultyDrive fake(cardDir, c.reports,
                               {.writable = true, .wrapsAt = c.wrapsAt, .zeroContent = large});
        ASSERT_TRUE(fake.IsReady());
        const std::string before = large ? std::string() : Fingerprint(fake.Content());

        const auto started = std::chrono::steady_clock::now();
        const Printed run =
            RunLine({"--restore", "0", image.string(), "--yes=" + fake.DrivePath()});

        EXPECT_EQ(run.status, cli::kExitFailed);
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        if (large) {
            // Its content was zeros, and is: every extent the file holds reads as zeros.
            EXPECT_EQ(Output("python3 -c \"import os,sys\nf=os.open(sys.argv[1],os.O_RDONLY)\n"
                             "end=os.lseek(f,0,os.SEEK_END)\nat=0\nwhile True:\n"
                             " try: at=os.lseek(f,at,os.SEEK_DATA)\n except OSError: break\n"
                             " stop=os.lseek(f,at,os.SEEK_HOLE)\n"
                             " assert not any(os.pread(f,stop-at,at)), at\n at=stop\n"
                             "print('zeros')\" " +
                             fake.Content().string()),
                      "zeros\n");
        } else if (run.err.find("nothing was written") != std::string::npos) {
            EXPECT_EQ(Fingerprint(fake.Content()), before);
            // The probe is quick: it does not read or write the card at length.
            EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        }
    }
}

// The same off-grid fake card under a sparse image with --skip-empty: the verify, which reads
// back only the image's data, still finds what the card returned from elsewhere.
TEST(Restore, AVerifyOfTheDataAloneFindsAFakeCard) {
    REQUIRE_ROOT();
    const TempDir dir;
    const fs::path image = dir / "sparse.img";
    SHELL("truncate -s 12M " + image.string() +
          " && head -c 1M /dev/urandom | dd of=" + image.string() +
          " bs=1M seek=2 conv=notrunc status=none && head -c 2M /dev/urandom | dd of=" +
          image.string() + " bs=1M seek=8 conv=notrunc status=none");
    const FaultyDrive fake(dir, 16 * kMiB, {.writable = true, .wrapsAt = 6 * kMiB + 1024});
    ASSERT_TRUE(fake.IsReady());

    const Printed run =
        RunLine({"--restore", "0", image.string(), "--yes=" + fake.DrivePath(), "--skip-empty"});

    EXPECT_EQ(run.status, cli::kExitFailed);
    EXPECT_NE(
        run.err.find("card holds less than it reports (counterfeit: the card returns at byte "),
        std::string::npos)
        << run.err;
}

// A restore that fails once it has begun to write leaves a card with no partition table, so
// nothing mounts half an image; the reason names the cause.
TEST(Restore, AFailedWriteLeavesNoPartitionTable) {
    REQUIRE_ROOT();
    const TempDir images;
    {
        const TempDir sourceDir;
        const RemovableDrive source(sourceDir, CardContent(sourceDir, "card.bin", 16 * kMiB));
        for (const char* name : {"card.img", "card.img.zst"}) {
            ASSERT_EQ(RunLine({"--image", "0", (images / name).string()}).status, 0);
        }
    }
    // A byte changed in the middle of each image; the raw one keeps its checksum file, which is
    // checked as it is written, the zstd one only its frame's own checksum.
    for (const char* name : {"card.img", "card.img.zst"}) {
        const fs::path damaged = images / (std::string("damaged-") + name);
        fs::copy_file(images / name, damaged);
        if (imaging::FormatOfName(name) == imaging::ImageFormat::Raw) {
            fs::copy_file(images / (std::string(name) + ".sha256"),
                          images / ("damaged-" + std::string(name) + ".sha256"));
        }
        std::fstream file(damaged, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(FileSize(damaged) / 2));
        file.put('\x5a');
    }
    struct Case {
        const char* name;
        std::string image;
        DriveFaults faults;
        const char* says;
        std::function<void(FaultyDrive&)> meanwhile;  // while the run writes
        // Where the run ends before the long write: what it then says is true of the card.
        bool inProbe = false;
    };
    const auto pull = [](FaultyDrive& card) {
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        card.Pull();
    };
    const auto interrupt = [](FaultyDrive&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        std::raise(SIGINT);
    };
    const std::uint64_t slow = 8 * kMiB;
    const fs::path shrinking = images / "shrinking.img";
    fs::copy_file(images / "card.img", shrinking);
    const auto cutShort = [&](FaultyDrive&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        fs::resize_file(shrinking, 10 * kMiB);
    };
    // Its length unchanged, bytes the card already holds replaced.
    const fs::path rewritten = images / "rewritten.img";
    fs::copy_file(images / "card.img", rewritten);
    const auto writtenTo = [&](FaultyDrive&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        SHELL("dd if=/dev/urandom of=" + rewritten.string() +
              " bs=64K seek=32 count=1 conv=notrunc status=none");
    };
    const Case cases[] = {
        {"raw image cut short while it is written",
         "shrinking.img",
         {.bytesPerSecond = slow, .writable = true},
         "failed: the image changed during the restore (16,777,216 bytes when it was checked, ",
         cutShort},
        {"raw image written to in place while it is written",
         "rewritten.img",
         {.bytesPerSecond = slow, .writable = true},
         "failed: the image changed during the restore (it was written to or replaced while the "
         "card "
         "was "
         "written)",
         writtenTo},
        {"raw image that differs from its checksum",
         "damaged-card.img",
         {.writable = true},
         "image damaged (damaged-card.img differs from the published SHA-256 in "
         "damaged-card.img.sha256)",
         nullptr},
        {"zstd image whose frame fails its check",
         "damaged-card.img.zst",
         {.writable = true},
         "image damaged (zstd: ",
         nullptr},
        {"card that fails a write at 9 MiB",
         "card.img",
         {.writable = true, .badWritesStart = 9 * kMiB + 65536, .badWritesEnd = 9 * kMiB + 69632},
         "failed: write error at byte 8,388,608 of the card (Input/output error)",
         nullptr},
        {"card pulled while it is written",
         "card.img",
         {.bytesPerSecond = slow, .writable = true},
         "failed: drive removed",
         pull},
        {"Ctrl+C while the card is written",
         "card.img.zst",
         {.bytesPerSecond = slow, .writable = true},
         "failed: cancelled",
         interrupt},
        // A card this slow takes about a second for each round of the probe's sectors.
        {"card pulled during the capacity probe",
         "card.img",
         {.bytesPerSecond = 50'000, .writable = true},
         "failed: drive removed",
         [](FaultyDrive& card) {
             std::this_thread::sleep_for(std::chrono::milliseconds(1500));
             card.Pull();
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir dir;
        FaultyDrive card(dir, 16 * kMiB, c.faults);
        ASSERT_TRUE(card.IsReady());
        const std::string before = Fingerprint(card.Content());
        auto run = std::async(std::launch::async, [&] {
            return RunLine(
                {"--restore", "0", (images / c.image).string(), "--yes=" + card.DrivePath()});
        });
        if (c.meanwhile) {
            c.meanwhile(card);
        }
        const Printed printed = run.get();
        EXPECT_EQ(printed.status, cli::kExitFailed);
        EXPECT_NE(printed.err.find(c.says), std::string::npos) << printed.err;
        if (c.inProbe) {
            const bool untouched = Fingerprint(card.Content()) == before;
            EXPECT_EQ(printed.err.find("nothing was written") != std::string::npos, untouched)
                << printed.err;
            EXPECT_EQ(
                printed.err.find("the capacity probe could not put back") != std::string::npos,
                !untouched)
                << printed.err;
            continue;
        }
        EXPECT_NE(printed.err.find("the card holds part of the image and no partition table"),
                  std::string::npos)
            << printed.err;
        EXPECT_FALSE(HasPartitionTable(card.Content().string()));
    }
}

}  // namespace
