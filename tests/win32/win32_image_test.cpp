#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

#include "file_backed_drive.h"
#include "run/copy_job.h"
#include "run/copy_worker.h"

namespace {

using error::FailureReason;
using imaging::Outcome;
using imaging::RunState;
using namespace win_testing;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr const char* kDrive = "\\\\.\\PhysicalDrive1";

void WaitForIdle(const imaging::CopyJob& job) {
    for (int waited = 0; !imaging::RunHasEnded(job); ++waited) {
        ASSERT_LT(waited, 60000) << "the worker never ended";
        ::Sleep(1);
    }
}

void StartCopy(imaging::CopyJob& job, const std::string& image) {
    imaging::PrepareRun(job, {.drive = {.node = kDrive}, .imagePath = image});
    ASSERT_TRUE(imaging::LaunchCopyWorker(job));
}

void RunCopy(imaging::CopyJob& job, const std::string& image) {
    StartCopy(job, image);
    WaitForIdle(job);
}

void WaitUntilCopying(const imaging::CopyJob& job) {
    while (job.progress.doneBytes.load() == 0 && !imaging::RunHasEnded(job)) {
        ::Sleep(0);
    }
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(Win32Image, AReadErrorKeepsEverySectorBeforeTheBadOne) {
    const TempFolder folder;
    const std::string card = folder / "card.bin";
    WriteRandomFile(card, 4 * kMiB, 7);
    const std::uint64_t bad = 2 * kMiB + 3 * 512;
    const FileBackedDrive drive(kDrive, card, bad, bad + 512);
    const std::string image = folder / "worn.img";

    imaging::CopyJob job;
    RunCopy(job, image);

    EXPECT_EQ(job.result.outcome, Outcome::Failed);
    EXPECT_EQ(job.result.failure.reason, FailureReason::ReadError);
    EXPECT_EQ(job.result.failure.error, ERROR_CRC);
    EXPECT_EQ(FileSize(image), bad);
    EXPECT_TRUE(SamePrefix(image, card, bad));
}

// The card is described through the storage descriptor the platform gives, and the image's
// record says so.
TEST(Win32Image, TheImageRecordDescribesTheCard) {
    const TempFolder folder;
    const std::string card = folder / "card.bin";
    WriteRandomFile(card, 2 * kMiB, 9);
    const FileBackedDrive drive(kDrive, card);
    const std::string image = folder / "card.img";

    imaging::CopyJob job;
    RunCopy(job, image);

    ASSERT_EQ(job.result.outcome, Outcome::Succeeded) << error::DescribeFailure(job.result.failure);
    const std::string info = ReadAll(image + ".info");
    for (const char* line :
         {"\nsource-vendor: Dresmont\n", "\nsource-model: Test Card\n", "\nsource-serial: FB0001\n",
          "\nsource-revision: 1.0\n", "\nsource-bus: USB\n", "\nsource-bytes: 2097152\n",
          "\nimage: card.img\n", "\nsource-volume: \\\\?\\Volume{5eed}\\ FAT32 \"CARD\" at E:\\\n",
          "\ncommand: window\n", "\nverify: not asked\n"}) {
        EXPECT_NE(info.find(line), std::string::npos) << line << " in\n" << info;
    }
    EXPECT_NE(info.find("\ndrive-sha256: " + job.result.driveSha256 + "\n"), std::string::npos);
}

// However a replacing run fails, the old image stays as it was and nothing is left beside it;
// one that succeeds puts the new image and its checksum in place.
TEST(Win32Image, AnOldImageSurvivesFailedReplacementsAndASuccessReplacesIt) {
    const TempFolder folder;
    const std::string card = folder / "card.bin";
    {
        std::ofstream zeros(card, std::ios::binary);
        zeros.seekp(static_cast<std::streamoff>(kMiB - 1));
        zeros.put('\0');
    }
    const std::string image = folder / "card.img";
    WriteRandomFile(image, 3 * kMiB, 8);
    const std::string old = ReadAll(image);
    imaging::CopyJob job;
    {
        const FileBackedDrive worn(kDrive, card, 512 * 1024, 512 * 1024 + 512);
        RunCopy(job, image);
        EXPECT_EQ(job.result.failure.reason, FailureReason::ReadError);
        EXPECT_TRUE(ReadAll(image) == old) << "a failed read changed the old image";
    }
    const FileBackedDrive drive(kDrive, card);
    imaging::PrepareRun(job, {.drive = {.node = kDrive}, .imagePath = image});
    imaging::RequestCancel(job);
    imaging::RunCopyJob(job);
    EXPECT_EQ(job.result.failure.reason, FailureReason::Cancelled);
    EXPECT_TRUE(ReadAll(image) == old) << "a cancel changed the old image";
    WIN32_FIND_DATAA entry{};
    const HANDLE search = ::FindFirstFileA((folder / "~*").c_str(), &entry);
    EXPECT_EQ(search, INVALID_HANDLE_VALUE) << "left behind: " << entry.cFileName;
    ::FindClose(search);

    RunCopy(job, image);

    EXPECT_EQ(job.result.outcome, Outcome::Succeeded);
    EXPECT_EQ(FileSize(image), kMiB);
    EXPECT_TRUE(SamePrefix(image, card, kMiB));
    // The SHA-256 of one MiB of zeros, as any sha256sum tells.
    EXPECT_EQ(ReadAll(image + ".sha256"),
              "30e14955ebf1352266dc2ff8067e68104607e750abb9d3b36582b8af909fcb58  card.img\n"
              "# drive: 30e14955ebf1352266dc2ff8067e68104607e750abb9d3b36582b8af909fcb58 1048576 "
              "bytes\n");
}

// A rescue zero-fills and maps the bad sector; run again, it continues from its map in place and
// ends with the same image.
TEST(Win32Image, ARescueMapsTheBadSectorAndContinuesFromItsMap) {
    const TempFolder folder;
    const std::string card = folder / "card.bin";
    WriteRandomFile(card, 2 * kMiB, 10);
    const std::uint64_t bad = kMiB + 3 * 512;
    const FileBackedDrive drive(kDrive, card, bad, bad + 512);
    const std::string image = folder / "worn.img";
    std::string expected = ReadAll(card);
    expected.replace(bad, 512, 512, '\0');
    for (int run = 0; run < 2; ++run) {
        imaging::CopyJob job;
        imaging::PrepareRun(job, {.task = true ? imaging::Task::Rescue : imaging::Task::Image,
                                  .drive = {.node = kDrive},
                                  .imagePath = image,
                                  .retries = 1});
        ASSERT_TRUE(imaging::LaunchCopyWorker(job));
        WaitForIdle(job);

        EXPECT_EQ(job.result.outcome, Outcome::Succeeded) << run;
        EXPECT_EQ(job.result.unreadableBytes, 512U) << run;
        EXPECT_TRUE(ReadAll(image) == expected) << run;
        EXPECT_NE(ReadAll(image + ".map").find("0x00100600  0x00000200  -\n"), std::string::npos);
        EXPECT_NE(ReadAll(image + ".sha256").find("  worn.img\n# 512 bytes unreadable"),
                  std::string::npos);
    }
}

TEST(Win32Image, ASecondRunOnTheSamePathIsRefusedAsInUse) {
    const TempFolder folder;
    const std::string card = folder / "card.bin";
    const std::uint64_t size = 128 * kMiB;
    WriteRandomFile(card, size, 9);
    const FileBackedDrive drive(kDrive, card);
    const std::string image = folder / "shared.img";
    for (const bool existing : {false, true}) {
        imaging::CopyJob first;
        StartCopy(first, image);
        WaitUntilCopying(first);

        imaging::CopyJob second;
        imaging::PrepareRun(second, {.drive = {.node = kDrive}, .imagePath = image});
        imaging::RunCopyJob(second);
        EXPECT_EQ(second.result.failure.reason, FailureReason::ImageInUse) << existing;
        EXPECT_EQ(second.progress.doneBytes.load(), 0U);

        WaitForIdle(first);
        EXPECT_EQ(first.result.outcome, Outcome::Succeeded) << existing;
        EXPECT_TRUE(SamePrefix(image, card, size));
    }
}

}  // namespace
