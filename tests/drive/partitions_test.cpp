#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "gtest_support.h"
#include "outcome/describe_outcome.h"
#include "removable_drive.h"
#include "run/copy_worker.h"
#include "run/run_controller.h"
#include "test_files.h"

namespace {

using imaging::Outcome;
using namespace testing_support;
namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kDriveSize = 64 * kMiB;

// A 64 MiB drive laid out by sfdisk from `script`, its partitions formatted or damaged by
// `format` (run with $DRIVE set to the backing file).
std::filesystem::path PartitionedDrive(const TempDir& dir, const std::string& script,
                                       const std::string& format) {
    const fs::path backing = dir / "drive.bin";
    SHELL("truncate -s " + std::to_string(kDriveSize) + " " + backing.string());
    if (!script.empty()) {
        SHELL("printf '" + script + "' | sfdisk -q " + backing.string() + " >/dev/null");
    }
    if (!format.empty()) {
        SHELL("DRIVE=" + backing.string() + "; " + format);
    }
    return backing;
}

const imaging::CopyResult& ImagePartitions(imaging::CopyJob& job, const fs::path& image) {
    imaging::PrepareRun(job, {.drive = {.node = drive::DrivePath(0)},
                              .imagePath = image.string(),
                              .partitionsOnly = true});
    imaging::RunCopyJob(job);
    return job.result;
}

// The number after `key` on `line`, as sfdisk -d writes it ("start=        2048,").
std::string FieldOf(const std::string& line, const std::string& key) {
    std::size_t at = line.find(key);
    if (at == std::string::npos) {
        return {};
    }
    at = line.find_first_not_of(' ', at + key.size());
    return line.substr(at, line.find_first_not_of("0123456789", at) - at);
}

// The partitions sfdisk lists, as "start+size", whatever the device is called.
std::set<std::string> PartitionsOf(const fs::path& disk) {
    std::istringstream dump(Output("sfdisk -d '" + disk.string() + "' 2>/dev/null"));
    std::set<std::string> found;
    for (std::string line; std::getline(dump, line);) {
        if (line.find("start=") != std::string::npos) {
            found.insert(FieldOf(line, "start=") + "+" + FieldOf(line, "size="));
        }
    }
    return found;
}

// A file system inside the image, checked by its own tool through a loop device over its part
// of the image: a drive of exactly the image's size, as a smaller card it is restored to.
void ExpectFileSystemSound(const fs::path& image, std::uint64_t startSector, std::uint64_t sectors,
                           const std::string& check) {
    const std::string loop =
        Output("losetup -f --show -o " + std::to_string(startSector * 512) + " --sizelimit " +
               std::to_string(sectors * 512) + " '" + image.string() + "'");
    const std::string node = loop.substr(0, loop.find('\n'));
    SHELL(check + " " + node + " >/dev/null");
    RunCommand("losetup -d " + node);
}

constexpr const char* kGptScript =
    "label: gpt\\n"
    "start=2048, size=20480, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\n"
    "start=22528, size=30720, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4\\n";
constexpr const char* kGptFormat =
    "mkdir -p $DRIVE.files && echo photo > $DRIVE.files/a.jpg && "
    "mkfs.vfat --offset 2048 $DRIVE 10240 >/dev/null && "
    "mkfs.ext4 -q -F -E offset=11534336 -d $DRIVE.files $DRIVE 15360k";
constexpr std::uint64_t kGptEnd = 53248;  // sectors

// A GPT card whose partitions end at 40 % of it: the image ends at the last partition plus the
// backup GPT's 33 sectors, and gdisk, sfdisk and each file system's checker accept it.
TEST(PartitionsOnly, AGptImageIsAValidDiskOfItsOwnLength) {
    REQUIRE_ROOT();
    const TempDir dir;
    const RemovableDrive drive(dir, PartitionedDrive(dir, kGptScript, kGptFormat));
    const fs::path image = dir / "card.img";
    imaging::CopyJob job;
    const imaging::CopyResult& result = ImagePartitions(job, image);
    ASSERT_EQ(result.outcome, Outcome::Succeeded) << error::DescribeFailure(result.failure);
    EXPECT_EQ(result.partitionTable, "GPT") << result.wholeDriveBecause;
    EXPECT_EQ(FileSize(image), (kGptEnd + 33) * 512);
    EXPECT_EQ(result.restorableBytes, FileSize(image));
    EXPECT_NE(Output("sgdisk -v '" + image.string() + "'").find("No problems found"),
              std::string::npos)
        << Output("sgdisk -v '" + image.string() + "'");
    EXPECT_EQ(PartitionsOf(image), PartitionsOf(drive.BackingFile()));
    EXPECT_EQ(PartitionsOf(image).size(), 2U);
    ExpectFileSystemSound(image, 2048, 20480, "fsck.vfat -n");
    ExpectFileSystemSound(image, 22528, 30720, "e2fsck -fn");
    SHELL("cd '" + dir.Path().string() + "' && sha256sum -c --strict card.img.sha256");
    // The record says what was imaged, and of which drive.
    const std::string info = ReadFile(dir / "card.img.info");
    const std::string imaged = std::to_string(FileSize(image));
    for (const std::string& line :
         {"\nimaged: partitions only (GPT), restorable to a drive of at least " + imaged +
              " bytes\n",
          "\nimaged-bytes: " + imaged + "\n",
          "\nsource-bytes: " + std::to_string(FileSize(drive.BackingFile())) + "\n",
          "\ndrive-sha256: " + Output("sha256sum < '" + image.string() + "'").substr(0, 64) +
              "\n"}) {
        EXPECT_NE(info.find(line), std::string::npos) << line << " in\n" << info;
    }

    // The drive is proved against the image later as such an image takes it.
    imaging::PrepareRun(job, {.task = imaging::Task::Verify,
                              .drive = {.node = drive::DrivePath(0)},
                              .imagePath = image.string()});
    imaging::RunCopyJob(job);
    EXPECT_EQ(job.result.outcome, Outcome::Succeeded) << error::DescribeFailure(job.result.failure);

    // The same, compressed, is the same image.
    const fs::path compressed = dir / "card.img.zst";
    ASSERT_EQ(ImagePartitions(job, compressed).outcome, Outcome::Succeeded);
    SHELL("zstd -q -dc '" + compressed.string() + "' | cmp - '" + image.string() + "'");
}

// An MBR with an extended partition holding two logical ones ends at the last logical one.
TEST(PartitionsOnly, AnMbrImageEndsAtItsLastLogicalPartition) {
    REQUIRE_ROOT();
    const TempDir dir;
    const RemovableDrive drive(dir, PartitionedDrive(dir,
                                                     "label: dos\\n"
                                                     "start=2048, size=8192, type=c\\n"
                                                     "start=10240, size=40960, type=5\\n"
                                                     "start=12288, size=8192, type=83\\n"
                                                     "start=22528, size=8192, type=83\\n",
                                                     ""));
    const fs::path image = dir / "card.img";
    imaging::CopyJob job;
    const imaging::CopyResult& result = ImagePartitions(job, image);
    ASSERT_EQ(result.outcome, Outcome::Succeeded) << error::DescribeFailure(result.failure);
    EXPECT_EQ(result.partitionTable, "MBR") << result.wholeDriveBecause;
    EXPECT_EQ(FileSize(image), 30720U * 512);
    EXPECT_EQ(PartitionsOf(image), PartitionsOf(drive.BackingFile()));
    EXPECT_TRUE(SamePrefix(image, drive.BackingFile(), FileSize(image)));
}

// Never a silently short image: what the table does not say for sure makes a whole-drive image,
// with the reason.
TEST(PartitionsOnly, AMissingOrBrokenTableImagesTheWholeDrive) {
    REQUIRE_ROOT();
    struct Case {
        std::string name;
        std::string script;
        std::string damage;  // run with $DRIVE set
    };
    const Case cases[] = {
        {"no table", "", ""},
        {"both GPT headers corrupt", kGptScript,
         "printf xx | dd of=$DRIVE bs=1 seek=600 conv=notrunc status=none && "
         "printf xx | dd of=$DRIVE bs=1 seek=$((64 * 1024 * 1024 - 512 + 40)) conv=notrunc "
         "status=none"},
        {"extended boot record that points to itself",
         "label: dos\\nstart=2048, size=40960, type=5\\nstart=4096, size=8192, type=83\\n",
         // The second entry of the first EBR (at sector 2048) names the EBR itself.
         "printf "
         "'\\\\x00\\\\x00\\\\x00\\\\x00\\\\x05\\\\x00\\\\x00\\\\x00\\\\x00\\\\x00\\\\x00\\\\x00"
         "\\\\x00\\\\x08\\\\x00\\\\x00' | dd of=$DRIVE bs=1 seek=$((2048 * 512 + 462)) "
         "conv=notrunc status=none"},
    };
    for (const Case& c : cases) {
        const TempDir dir;
        const RemovableDrive drive(dir, PartitionedDrive(dir, c.script, c.damage));
        const fs::path image = dir / "card.img";
        imaging::CopyJob job;
        const imaging::CopyResult& result = ImagePartitions(job, image);
        ASSERT_EQ(result.outcome, Outcome::Succeeded) << c.name;
        EXPECT_TRUE(result.partitionTable.empty()) << c.name;
        EXPECT_FALSE(result.wholeDriveBecause.empty()) << c.name;
        EXPECT_EQ(FileSize(image), kDriveSize) << c.name << ": " << result.wholeDriveBecause;
        EXPECT_NE(imaging::DescribeOutcome(job.request, result).find("the whole drive, as"),
                  std::string::npos)
            << c.name;
    }
}

}  // namespace
