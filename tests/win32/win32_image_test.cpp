#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

#include "copy_job.h"
#include "copy_worker.h"
#include "file_backed_drive.h"

namespace {

using imaging::FailureReason;
using imaging::Outcome;
using imaging::RunState;
using imaging::TheCopyJob;
using namespace win_testing;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr const char* kDrive = "\\\\.\\PhysicalDrive1";

void WaitForIdle(const imaging::CopyJob& job) {
    for (int waited = 0; job.runState.load() != RunState::Idle; ++waited) {
        ASSERT_LT(waited, 60000) << "the worker never ended";
        ::Sleep(1);
    }
}

void RunCopy(const std::string& image) {
    imaging::PrepareRun(TheCopyJob(), kDrive, image);
    ASSERT_TRUE(imaging::LaunchCopyWorker());
    WaitForIdle(TheCopyJob());
}

void WaitUntilCopying() {
    while (TheCopyJob().doneBytes.load() == 0 && TheCopyJob().runState.load() != RunState::Idle) {
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

    RunCopy(image);

    EXPECT_EQ(TheCopyJob().outcome.load(), Outcome::Failed);
    EXPECT_EQ(TheCopyJob().failureReason.load(), FailureReason::ReadError);
    EXPECT_EQ(TheCopyJob().failureError.load(), ERROR_CRC);
    EXPECT_EQ(FileSize(image), bad);
    EXPECT_TRUE(SamePrefix(image, card, bad));
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
    {
        const FileBackedDrive worn(kDrive, card, 512 * 1024, 512 * 1024 + 512);
        RunCopy(image);
        EXPECT_EQ(TheCopyJob().failureReason.load(), FailureReason::ReadError);
        EXPECT_TRUE(ReadAll(image) == old) << "a failed read changed the old image";
    }
    const FileBackedDrive drive(kDrive, card);
    imaging::PrepareRun(TheCopyJob(), kDrive, image);
    imaging::RequestCancel(TheCopyJob());
    imaging::RunCopyJob(TheCopyJob());
    EXPECT_EQ(TheCopyJob().failureReason.load(), FailureReason::Cancelled);
    EXPECT_TRUE(ReadAll(image) == old) << "a cancel changed the old image";
    WIN32_FIND_DATAA entry{};
    const HANDLE search = ::FindFirstFileA((folder / "~*").c_str(), &entry);
    EXPECT_EQ(search, INVALID_HANDLE_VALUE) << "left behind: " << entry.cFileName;
    ::FindClose(search);

    RunCopy(image);

    EXPECT_EQ(TheCopyJob().outcome.load(), Outcome::Succeeded);
    EXPECT_EQ(FileSize(image), kMiB);
    EXPECT_TRUE(SamePrefix(image, card, kMiB));
    // The SHA-256 of one MiB of zeros, as any sha256sum tells.
    EXPECT_EQ(ReadAll(image + ".sha256"),
              "30e14955ebf1352266dc2ff8067e68104607e750abb9d3b36582b8af909fcb58  card.img\n");
}

TEST(Win32Image, ASecondRunOnTheSamePathIsRefusedAsInUse) {
    const TempFolder folder;
    const std::string card = folder / "card.bin";
    const std::uint64_t size = 128 * kMiB;
    WriteRandomFile(card, size, 9);
    const FileBackedDrive drive(kDrive, card);
    const std::string image = folder / "shared.img";
    for (const bool existing : {false, true}) {
        imaging::PrepareRun(TheCopyJob(), kDrive, image);
        ASSERT_TRUE(imaging::LaunchCopyWorker());
        WaitUntilCopying();

        imaging::CopyJob second;
        imaging::PrepareRun(second, kDrive, image);
        imaging::RunCopyJob(second);
        EXPECT_EQ(second.failureReason.load(), FailureReason::ImageInUse) << existing;
        EXPECT_EQ(second.doneBytes.load(), 0U);

        WaitForIdle(TheCopyJob());
        EXPECT_EQ(TheCopyJob().outcome.load(), Outcome::Succeeded) << existing;
        EXPECT_TRUE(SamePrefix(image, card, size));
    }
}

}  // namespace
