#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "command_line_run.h"
#include "gtest_support.h"
#include "loop_device.h"
#include "removable_drive.h"
#include "test_files.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1024 * 1024;

// A system image as distributions ship one, before it is compressed: a GPT with a FAT
// partition, random data, text and zeros, 8 MiB in all.
fs::path SystemImage(const TempDir& dir) {
    const fs::path image = dir / "system.img";
    WriteRandomFile(image, 4 * kMiB, 21);
    SHELL("yes 'a line of text in the image' | head -c 2097152 >> " + image.string() +
          " && truncate -s 8M " + image.string());
    SHELL("sgdisk -o -n 1:2048:+2M -t 1:0700 " + image.string() + " >/dev/null");
    SHELL("mkfs.fat --offset 2048 " + image.string() + " 2048 >/dev/null");
    return image;
}

// The SHA-256 of what `command` prints, as sha256sum gives it.
std::string HashOf(const std::string& command) {
    return Output(command + " | sha256sum | cut -c1-64");
}

bool HasPartitionTable(const std::string& card) {
    return !Output("blkid -p -o value -s PTTYPE " + card).empty();
}

// A folder of downloads: each `make` is run in it, and what it made is restored onto a card.
class Downloads : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_ROOT();
        m_image = SystemImage(m_dir);
    }

    std::string In(const std::string& command) const {
        return "cd " + m_dir.Path().string() + " && " + command;
    }
    std::string Path(const std::string& name) const { return (m_dir / name).string(); }
    Printed Restore(const RemovableDrive& card, const std::string& name,
                    std::vector<std::string> more = {}) const {
        std::vector<std::string> arguments = {"--restore", "0", Path(name),
                                              "--yes=" + card.DrivePath()};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return RunLine(arguments);
    }

    const TempDir m_dir;
    fs::path m_image;
};

// Each form restores onto the card exactly what the users' own tools decode it to.
TEST_F(Downloads, EachFormPutsWhatItsToolDecodes) {
    struct Case {
        const char* file;
        const char* make;
        const char* decoded;  // the tool that decodes it
        const char* says;
    };
    const Case cases[] = {
        {"multi.img.xz", "xz -T2 -6 --block-size=1MiB -c system.img > multi.img.xz",
         "xz -dc multi.img.xz", "(xz image, 8,388,608 bytes;"},
        {"single.img.xz", "xz -T1 -c system.img > single.img.xz", "xz -dc single.img.xz",
         "(xz image, "},
        {"streams.img.xz",
         "(head -c 3M system.img | xz -c; tail -c +3145729 system.img | xz -c; "
         "printf '\\0\\0\\0\\0') > streams.img.xz",
         "xz -dc streams.img.xz", "(xz image, 8,388,608 bytes"},
        {"two.zip", "printf notes > README.txt && zip -q two.zip README.txt system.img",
         "unzip -p two.zip system.img", "(zip image system.img in it, 8,388,608 bytes"},
        {"big.zip", "zip -q -fz big.zip system.img", "unzip -p big.zip system.img",
         "(zip image system.img in it"},
        {"really.img", "xz -T1 -c system.img > really.img", "xz -dc < really.img",
         "(xz image (holds xz data), 8,388,608 bytes"},
        {"streams.img.bz2",
         "(head -c 5M system.img | bzip2 -c; tail -c +5242881 system.img | bzip2 -c) > "
         "streams.img.bz2",
         "bzip2 -dc streams.img.bz2", "(bzip2 image, "},
        {"odd.img.zst", "gzip -1 -c system.img > odd.img.zst", "gzip -dc < odd.img.zst",
         "(gzip image (named .zst, but holds gzip data)"},
    };
    const std::string expected = HashOf("cat " + m_image.string());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        SHELL(In(c.make));
        const TempDir cardDir;
        const RemovableDrive card(cardDir, 8 * kMiB, 3);

        const Printed run = Restore(card, c.file);

        EXPECT_EQ(run.status, cli::kExitComplete) << run.err;
        EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
        EXPECT_NE(run.err.find("Card restored and verified"), std::string::npos) << run.err;
        const std::string decoded = HashOf(In(c.decoded));
        EXPECT_EQ(decoded, expected);
        EXPECT_EQ(HashOf("head -c 8388608 " + card.LoopPath()), decoded);
    }
}

// Each fault ends the run as failed: those found before the first write leave the card as it
// was, those found on the way leave it with no partition table.
TEST_F(Downloads, EachFaultEndsTheRunAndSaysWhy) {
    struct Case {
        const char* file;
        const char* make;
        const char* says;
        bool beforeWriting;
    };
    const Case cases[] = {
        {"damaged.img.xz",
         "xz -T1 -c system.img > damaged.img.xz && printf Z | dd of=damaged.img.xz bs=1 "
         "seek=2000000 conv=notrunc status=none",
         "image damaged (xz: the file is damaged", false},
        {"cut.img.bz2", "bzip2 -c system.img | head -c 1000000 > cut.img.bz2",
         "image damaged (bzip2: the file ends early); nothing was written", true},
        {"cut.zip", "zip -q whole.zip system.img && head -c 2000000 whole.zip > cut.zip",
         "image damaged (zip: its central directory is missing or damaged", true},
        {"papers.zip", "printf a > a.txt && printf b > b.pdf && zip -q papers.zip a.txt b.pdf",
         "image refused (the zip holds no disk image (.img .iso .bin .raw .wic .dsk .sdcard "
         ".hddimg): it holds a.txt, b.pdf)",
         true},
        {"secret.zip", "zip -q -P secret secret.zip system.img",
         "image refused (system.img in the zip is encrypted)", true},
        {"large.img.xz",
         "truncate -s 40M large.img && head -c 1M /dev/urandom | dd of=large.img bs=1M seek=39 "
         "conv=notrunc status=none && xz -T2 -c large.img > large.img.xz",
         "image larger than the card (by 33,554,432 bytes (33.6 MB)); nothing was written", true},
        {"file.img.xz",
         "xz -T1 -c system.img > file.img.xz && echo "
         "'0000000000000000000000000000000000000000000000000000000000000000  file.img.xz' > "
         "file.img.xz.sha256",
         "image damaged (file.img.xz differs from the published SHA-256 in "
         "file.img.xz.sha256); nothing was written",
         true},
        {"content.img.xz",
         "xz -T1 -c system.img > content.img.xz && echo "
         "'1111111111111111111111111111111111111111111111111111111111111111  content.img' > "
         "content.img.sha256",
         "image damaged (content.img.xz differs from the published SHA-256 in "
         "content.img.sha256)",
         false},
        {"header.img.xz", "head -c 1M system.img > header.img.xz",
         "image damaged (its name ends in .xz, but its first bytes are no xz header", true},
        {"ranged.img",
         "cp system.img ranged.img && bmaptool -q create ranged.img > ranged.img.bmap && "
         "printf Z | dd of=ranged.img bs=1 seek=4500000 conv=notrunc status=none",
         "image damaged (blocks 260-1535 differ from ranged.img.bmap)", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        SHELL(In(c.make));
        const TempDir cardDir;
        const RemovableDrive card(cardDir, 8 * kMiB, 3);
        // The card holds a table before, so a restore that left it would show.
        SHELL("sgdisk -o " + card.LoopPath() + " >/dev/null");
        const std::string before = Fingerprint(card.LoopPath());

        const Printed run = Restore(card, c.file);

        EXPECT_EQ(run.status, cli::kExitFailed);
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        if (c.beforeWriting) {
            EXPECT_EQ(Fingerprint(card.LoopPath()), before);
        } else {
            EXPECT_NE(run.err.find("the card holds part of the image and no partition table"),
                      std::string::npos)
                << run.err;
            EXPECT_FALSE(HasPartitionTable(card.LoopPath()));
        }
    }
}

// The checksum beside a download, as three publishers lay it out, matching and not: a mismatch
// of the file as downloaded writes nothing.
TEST_F(Downloads, FindsAndChecksThePublishersChecksum) {
    SHELL(In("xz -T1 -c system.img > os.img.xz && printf other > other.iso"));
    const std::string hash = HashOf("cat " + Path("os.img.xz")).substr(0, 64);
    const std::string wrong(64, 'e');
    struct Case {
        const char* layout;
        const char* checksumFile;
        std::string line;  // for os.img.xz, with the hash in place of HASH
    };
    const Case cases[] = {
        {"Raspberry Pi", "os.img.xz.sha256", "HASH  os.img.xz\n"},
        {"Armbian", "os.img.xz.sha", "HASH *os.img.xz\n"},
        {"Ubuntu", "SHA256SUMS",
         "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef *other.iso\n"
         "HASH *os.img.xz\n"},
    };
    for (const Case& c : cases) {
        for (const bool matching : {true, false}) {
            SCOPED_TRACE(std::string(c.layout) + (matching ? ", matching" : ", not matching"));
            std::string text = c.line;
            text.replace(text.find("HASH"), 4, matching ? hash : wrong);
            std::ofstream(m_dir / c.checksumFile) << text;
            const TempDir cardDir;
            const RemovableDrive card(cardDir, 8 * kMiB, 3);
            const std::string before = Fingerprint(card.LoopPath());

            const Printed run = Restore(card, "os.img.xz");

            const std::string source = std::string(" SHA-256 in ") + c.checksumFile;
            EXPECT_NE(run.out.find("checked against the" + source +
                                   ", of the file as downloaded, "
                                   "before anything is written"),
                      std::string::npos)
                << run.out;
            if (matching) {
                EXPECT_EQ(run.status, cli::kExitComplete) << run.err;
                EXPECT_NE(run.err.find("matches the" + source), std::string::npos) << run.err;
            } else {
                EXPECT_EQ(run.status, cli::kExitFailed);
                EXPECT_NE(
                    run.err.find("differs from the published" + source + "); nothing was written"),
                    std::string::npos)
                    << run.err;
                EXPECT_EQ(Fingerprint(card.LoopPath()), before);
            }
            fs::remove(m_dir / c.checksumFile);
        }
    }
    const TempDir cardDir;
    const RemovableDrive card(cardDir, 8 * kMiB, 3);
    const Printed byHand = Restore(card, "os.img.xz", {"--expect-sha256=" + wrong});
    EXPECT_EQ(byHand.status, cli::kExitFailed);
    EXPECT_NE(byHand.err.find("differs from the published SHA-256 given by --expect-sha256"),
              std::string::npos)
        << byHand.err;
}

// A bmap beside the image, as bmaptool makes it, writes only what it maps: the rest of the card
// keeps its old bytes; and the bmap Dresmont writes beside its own images is one bmaptool
// copies by, to a card that then holds what was imaged.
TEST_F(Downloads, WritesOnlyWhatTheBlockMapMapsAndWritesOneBmaptoolReads) {
    SHELL(
        In("cp system.img mapped.img && bmaptool -q create mapped.img > mapped.img.bmap && "
           "xz -T1 -c mapped.img > mapped.img.xz"));
    for (const char* name : {"mapped.img", "mapped.img.xz"}) {
        SCOPED_TRACE(name);
        const TempDir cardDir;
        const RemovableDrive card(cardDir, 8 * kMiB, 3);
        const std::string old = (cardDir / "old.bin").string();
        SHELL("cp " + card.LoopPath() + " " + old);

        const Printed run = Restore(card, name);

        EXPECT_EQ(run.status, cli::kExitComplete) << run.err;
        EXPECT_NE(run.out.find("mapped.img.bmap maps 6.3 MB of it: only that is written"),
                  std::string::npos)
            << run.out;
        EXPECT_NE(run.err.find("only the 6.3 MB that mapped.img.bmap maps were written and "
                               "verified: the card keeps its old content elsewhere"),
                  std::string::npos)
            << run.err;
        // The card as bmaptool makes it of the same old card (a block device: onto a file it
        // leaves only what it maps), but for the first and the last MiB, which a restore clears
        // so that no old table survives.
        const LoopDevice oldCard(old);
        SHELL("bmaptool -q copy --bmap " + Path("mapped.img.bmap") + " " + Path("mapped.img") +
              " " + oldCard.Path());
        EXPECT_TRUE(RunCommand("cmp -n 6291456 -i 1048576:1048576 " + old + " " + card.LoopPath()));
        EXPECT_TRUE(RunCommand("cmp -n 1048576 " + Path("mapped.img") + " " + card.LoopPath()));
        const Printed whole = Restore(card, name, {"--no-bmap"});
        EXPECT_EQ(whole.status, cli::kExitComplete) << whole.err;
        EXPECT_TRUE(RunCommand("cmp " + Path("mapped.img") + " " + card.LoopPath()));
    }

    const TempDir cardDir;
    const RemovableDrive card(cardDir, m_image);
    for (const char* name : {"own.img", "own.img.zst"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(RunLine({"--image", "0", Path(name)}).status, cli::kExitComplete);
        const std::string target = (cardDir / "target.bin").string();
        SHELL("truncate -s 8M " + target + " && bmaptool -q copy " + Path(name) + " " + target);
        EXPECT_EQ(Fingerprint(target), Fingerprint(m_image));
        SHELL("rm -f " + target);
    }
}

}  // namespace
