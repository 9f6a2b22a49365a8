#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "faulty_drive.h"
#include "gtest_support.h"
#include "image/image_file.h"
#include "removable_drive.h"
#include "run/copy_worker.h"

namespace {

using error::FailureReason;
using imaging::ImageFormat;
using imaging::Outcome;
using namespace testing_support;
namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1024 * 1024;

// A card as most are: a little data at the start and in the middle, the rest never written.
std::filesystem::path MostlyEmptyCard(const TempDir& dir, std::uint64_t size) {
    const fs::path backing = dir / "card.bin";
    SHELL("truncate -s " + std::to_string(size) + " " + backing.string());
    for (const std::uint64_t mib : {std::uint64_t{0}, size / kMiB / 2}) {
        SHELL("head -c 3M /dev/urandom | dd of=" + backing.string() +
              " bs=1M seek=" + std::to_string(mib) + " conv=notrunc status=none");
    }
    return backing;
}

std::string Sha256Of(const fs::path& path) {
    return Output("sha256sum < '" + path.string() + "'").substr(0, 64);
}

std::string DriveLine(const fs::path& image) {
    std::ifstream in(image.string() + ".sha256");
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string hex;
    std::uint64_t bytes = 0;
    return imaging::ReadDriveLine(content, hex, bytes) ? hex + " " + std::to_string(bytes) : "";
}

// Each format, proved with the tools users prove it with: the file's own check, the content
// decompressed and compared with the drive, the checksum file, the drive's line in it, and a
// raw image that takes only the room of the data.
TEST(ImageFormats, EachFormatProvesItselfWithTheUsersTools) {
    REQUIRE_ROOT();
    const TempDir dir;
    const std::uint64_t size = 64 * kMiB;
    const RemovableDrive card(dir, MostlyEmptyCard(dir, size));
    const std::string drive = card.LoopPath();
    const std::string driveLine = Sha256Of(card.BackingFile()) + " " + std::to_string(size);
    struct Case {
        std::string name;
        ImageFormat format;
        std::string proof;  // run in the image's folder; FILE is the image
    };
    const Case cases[] = {
        {"card.img", ImageFormat::Raw, "cmp FILE " + drive},
        {"card.img.zst", ImageFormat::Zstd, "zstd -q -t FILE && zstd -q -dc FILE | cmp - " + drive},
        // One gzip member per buffer, compressed side by side: each reader takes them as one.
        {"card.IMG.GZ", ImageFormat::Gzip,
         "gzip -t FILE && zcat FILE | cmp - " + drive +
             " && python3 -c 'import gzip, shutil, sys; "
             "shutil.copyfileobj(gzip.open(sys.argv[1]), sys.stdout.buffer)' FILE | cmp - " +
             drive},
    };
    for (const Case& c : cases) {
        const fs::path image = dir / c.name;
        imaging::CopyJob job;
        const imaging::CopyResult& result = RunCopy(job, drive::DrivePath(0), image);
        ASSERT_EQ(result.outcome, Outcome::Succeeded)
            << c.name << ": " << error::DescribeFailure(result.failure);
        EXPECT_EQ(result.format, c.format) << c.name;
        std::string proof = c.proof;
        for (std::size_t at = proof.find("FILE"); at != std::string::npos;
             at = proof.find("FILE")) {
            proof.replace(at, 4, "'" + image.string() + "'");
        }
        SHELL(proof);
        SHELL("cd '" + dir.Path().string() + "' && sha256sum -c --strict '" + c.name + ".sha256'");
        EXPECT_EQ(DriveLine(image), driveLine) << c.name;
        struct stat status {};
        ASSERT_EQ(::stat(image.c_str(), &status), 0);
        EXPECT_LT(static_cast<std::uint64_t>(status.st_blocks) * 512, size / 4)
            << c.name << " takes more room than the card's data";
        EXPECT_EQ(result.imageBytes, FileSize(image)) << c.name;
    }
}

// A verify reads the drive again: it passes on the drive that was imaged, and fails once one
// byte of the drive has changed, leaving the image and its files as they were.
TEST(ImageFormats, AVerifyPassesOnTheSameDriveAndFailsOnAChangedOne) {
    REQUIRE_ROOT();
    const TempDir dir;
    const RemovableDrive card(dir, MostlyEmptyCard(dir, 16 * kMiB));
    const fs::path image = dir / "card.img.zst";
    imaging::CopyJob job;
    imaging::PrepareRun(
        job,
        {.drive = {.node = drive::DrivePath(0)}, .imagePath = image.string(), .verifyAfter = true});
    imaging::RunCopyJob(job);
    ASSERT_EQ(job.result.outcome, Outcome::Succeeded) << error::DescribeFailure(job.result.failure);
    EXPECT_TRUE(job.result.verified);
    const std::string imageBefore = Fingerprint(image);
    const std::string sumsBefore = Fingerprint(image.string() + ".sha256");

    const auto verify = [&] {
        imaging::PrepareRun(job, {.task = imaging::Task::Verify,
                                  .drive = {.node = drive::DrivePath(0)},
                                  .imagePath = image.string()});
        imaging::RunCopyJob(job);
        return job.result;
    };
    EXPECT_EQ(verify().outcome, Outcome::Succeeded);
    SHELL("printf x | dd of=" + card.BackingFile().string() +
          " bs=1 seek=5000000 conv=notrunc status=none");
    const imaging::CopyResult differs = verify();
    EXPECT_EQ(differs.failure.reason, FailureReason::ContentDiffers);
    EXPECT_FALSE(differs.verified);
    EXPECT_EQ(Fingerprint(image), imageBefore);
    EXPECT_EQ(Fingerprint(image.string() + ".sha256"), sumsBefore);
}

// Whatever the format, a failed run leaves an existing image as it was and nothing beside it.
TEST(ImageFormats, AFailedRunKeepsTheOldImageInEveryFormat) {
    REQUIRE_ROOT();
    const TempDir dir;
    const FaultyDrive worn(dir, 4 * kMiB, {.badStart = 3 * kMiB, .badEnd = 3 * kMiB + 512});
    ASSERT_TRUE(worn.IsReady());
    fs::create_directory(dir / "images");
    for (const std::string name : {"old.img", "old.img.zst", "old.img.gz"}) {
        const fs::path image = dir / "images" / name;
        WriteRandomFile(image, kMiB, 4);
        const std::string old = Fingerprint(image);
        imaging::CopyJob job;
        EXPECT_EQ(RunCopy(job, worn.DrivePath(), image).failure.reason, FailureReason::ReadError)
            << name;
        EXPECT_EQ(Fingerprint(image), old) << name;
        EXPECT_EQ(std::distance(fs::directory_iterator(dir / "images"), fs::directory_iterator()),
                  1)
            << name;
        fs::remove(image);
    }
}

}  // namespace
