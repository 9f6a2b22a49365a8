#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

#include "command_line.h"
#include "file_backed_drive.h"

namespace {

using namespace win_testing;

constexpr std::uint64_t kMiB = 1024 * 1024;

// Runs the command line with its two streams in files of `folder`; returns the exit status.
int RunLine(const TempFolder& folder, const std::vector<std::string>& arguments, std::string& out) {
    const std::string outPath = folder / "out.txt";
    const std::string errPath = folder / "err.txt";
    std::FILE* outFile = std::fopen(outPath.c_str(), "w+");
    std::FILE* errFile = std::fopen(errPath.c_str(), "w+");
    const int status =
        cli::RunCommandLine(cli::ParseCommandLine(arguments), stdin, outFile, errFile);
    std::fclose(outFile);
    std::fclose(errFile);
    out.clear();
    std::FILE* again = std::fopen(outPath.c_str(), "r");
    for (int c = std::fgetc(again); c != EOF; c = std::fgetc(again)) {
        out += static_cast<char>(c);
    }
    std::fclose(again);
    return status;
}

TEST(Win32CommandLine, ListsAndImagesADrive) {
    const TempFolder folder;
    const std::string card = folder / "card.bin";
    WriteRandomFile(card, 5 * kMiB, 4);
    const FileBackedDrive drive("\\\\.\\PhysicalDrive1", card);
    std::string out;

    EXPECT_EQ(RunLine(folder, {"--list"}, out), cli::kExitComplete);
    EXPECT_EQ(out,
              "1: volume: 5 MB\t\\\\.\\PhysicalDrive1, Dresmont Test Card, serial FB0001, "
              "revision 1.0, Bus: USB, Size: 5242880 bytes (5.2 MB), sectors of 512 bytes, "
              "\\\\?\\Volume{5eed}\\: FAT32 \"CARD\" at E:\\\n");

    const std::string image = folder / "card.img";
    EXPECT_EQ(RunLine(folder, {"--image", "1", image}, out), cli::kExitComplete);
    EXPECT_TRUE(SamePrefix(image, card, 5 * kMiB));
    EXPECT_EQ(RunLine(folder, {"--image", "2", image}, out), cli::kExitFailed);
}

// The card's one volume is locked and dismounted through the seam (never on the host) before
// anything is written, and a volume that will not lock refuses the run with the card untouched.
TEST(Win32CommandLine, RestoresAnImageOntoTheCard) {
    const TempFolder folder;
    const std::string card = folder / "card.bin";
    WriteRandomFile(card, 5 * kMiB, 4);
    const std::string untouched = folder / "untouched.bin";
    WriteRandomFile(untouched, 5 * kMiB, 4);
    const std::string image = folder / "image.img";
    WriteRandomFile(image, 4 * kMiB, 9);
    FileBackedDrive drive("\\\\.\\PhysicalDrive1", card);
    const std::vector<std::string> restore = {"--restore", "1", image,
                                              "--yes=\\\\.\\PhysicalDrive1"};
    std::string out;

    drive.busy = {"\\\\?\\Volume{5eed}"};
    EXPECT_EQ(RunLine(folder, restore, out), cli::kExitFailed);
    EXPECT_TRUE(drive.locked.empty());
    EXPECT_TRUE(SamePrefix(card, untouched, 5 * kMiB));

    drive.busy.clear();
    EXPECT_EQ(RunLine(folder, restore, out), cli::kExitComplete);
    EXPECT_NE(out.find("ALL DATA on it will be replaced by"), std::string::npos) << out;
    EXPECT_EQ(drive.locked, std::vector<std::string>{"\\\\?\\Volume{5eed}"});
    EXPECT_TRUE(SamePrefix(card, image, 4 * kMiB));

    // The forms images are downloaded in, decoded by the libraries linked into the program.
    const std::string downloads = KALVOR_DOWNLOADS;
    for (const char* name : {"/image.img.xz", "/image.zip"}) {
        EXPECT_EQ(RunLine(folder,
                          {"--restore", "1", downloads + name, "--yes=\\\\.\\PhysicalDrive1"}, out),
                  cli::kExitComplete)
            << name;
        EXPECT_TRUE(SamePrefix(card, downloads + "/image.img", 4 * kMiB)) << name;
    }
}

}  // namespace
