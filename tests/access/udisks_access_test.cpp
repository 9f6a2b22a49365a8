#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "desktop_services.h"
#include "gtest_support.h"
#include "removable_drive.h"
#include "run/copy_job.h"
#include "run/copy_worker.h"
#include "test_files.h"

namespace {

using error::FailureReason;
using imaging::Outcome;
using namespace testing_support;
namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr uid_t kNobody = 65534;
constexpr const char* kGrantingRule = R"(polkit.addRule(function(action, subject) {
    if (action.id.indexOf("org.freedesktop.udisks2.open-device") == 0 &&
        subject.user == "dresmont-tester")
        return polkit.Result.YES;
});
)";

struct ChildCopy {
    Outcome outcome = Outcome::Failed;
    FailureReason reason = FailureReason::None;
    bool ended = false;
    char said[200] = {};  // how the failure was described
};

// The copy worker run in a child process as a user without the right to read drives. Not
// ended when it did not finish within a minute; the child is then killed.
// With a `task` of Restore, the image is written onto the drive instead, a drive of
// `driveBytes`.
ChildCopy CopyAsUser(uid_t uid, gid_t gid, const std::string& device, const fs::path& image,
                     imaging::Task task = imaging::Task::Image, std::uint64_t driveBytes = 0) {
    int channel[2];
    if (::pipe(channel) != 0) {
        return {};
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        ChildCopy result;
        if (::setgroups(0, nullptr) == 0 && ::setgid(gid) == 0 && ::setuid(uid) == 0) {
            const auto job = std::make_unique<imaging::CopyJob>();
            imaging::PrepareRun(*job, {.task = task,
                                       .drive = {.node = device, .length = driveBytes},
                                       .imagePath = image.string(),
                                       .retries = 1,
                                       .verifyAfter = task == imaging::Task::Restore});
            imaging::RunCopyJob(*job);
            result = {job->result.outcome, job->result.failure.reason, true, {}};
            const std::string said = error::DescribeFailure(job->result.failure);
            said.copy(result.said, sizeof result.said - 1);
        }
        [[maybe_unused]] const auto sent = ::write(channel[1], &result, sizeof result);
        ::_exit(0);
    }
    ::close(channel[1]);
    ChildCopy result;
    pollfd answer{channel[0], POLLIN, 0};
    if (::poll(&answer, 1, 60000) != 1 ||
        ::read(channel[0], &result, sizeof result) != static_cast<ssize_t>(sizeof result)) {
        ::kill(child, SIGKILL);
        result.ended = false;
    }
    ::close(channel[0]);
    ::waitpid(child, nullptr, 0);
    return result;
}

// The real bus, udev, polkit and udisks2, a user that polkit lets open drives and one it does
// not, and a removable drive neither may open directly.
TEST(DriveAccess, AUserPolkitGrantsImagesAndRestoresThroughUdisksAndAnotherIsRefused) {
    REQUIRE_ROOT();
    const SystemUser tester("dresmont-tester");
    ASSERT_NE(tester.Uid(), 0U);
    const PolkitRule rule("50-dresmont-test.rules", kGrantingRule);
    const DesktopServices services;
    ASSERT_TRUE(services.IsReady());
    const TempDir dir;
    const RemovableDrive drive(dir, 8 * kMiB);
    ASSERT_TRUE(DesktopServices::WaitUntilKnown(drive.LoopPath()));
    const fs::path images = dir / "images";
    fs::create_directory(images);
    fs::permissions(images, fs::perms::all);

    const ChildCopy granted =
        CopyAsUser(tester.Uid(), tester.Gid(), drive.DrivePath(), images / "granted.img");
    ASSERT_TRUE(granted.ended) << "the granted copy hung";
    EXPECT_EQ(granted.outcome, Outcome::Succeeded) << granted.said;
    EXPECT_TRUE(SamePrefix(images / "granted.img", drive.LoopPath(), 8 * kMiB));
    // A rescue reads straight from the drive through the descriptor udisks2 handed over.
    const ChildCopy rescued = CopyAsUser(tester.Uid(), tester.Gid(), drive.DrivePath(),
                                         images / "rescued.img", imaging::Task::Rescue);
    ASSERT_TRUE(rescued.ended) << "the granted rescue hung";
    EXPECT_EQ(rescued.outcome, Outcome::Succeeded) << rescued.said;
    EXPECT_TRUE(SamePrefix(images / "rescued.img", drive.LoopPath(), 8 * kMiB));

    const ChildCopy refused = CopyAsUser(kNobody, kNobody, drive.DrivePath(), images / "no.img");
    ASSERT_TRUE(refused.ended) << "the refused copy hung";
    EXPECT_EQ(refused.outcome, Outcome::Failed);
    EXPECT_EQ(refused.reason, FailureReason::DriveNotOpened);
    // udisks2's own words, not the errno they would otherwise be reduced to.
    EXPECT_NE(std::string(refused.said).find("NotAuthorized"), std::string::npos) << refused.said;
    EXPECT_FALSE(fs::exists(images / "no.img"));

    // A restore opens the card for writing through udisks2 too ("rw", exclusive, direct), under
    // the same polkit action: the other user is refused with polkit's words before a byte is
    // written; the granted one writes the card and reads it back.
    const fs::path image = images / "card.img";
    WriteRandomFile(image, 6 * kMiB, 21);
    fs::permissions(image, fs::perms::all);
    const std::string before = Fingerprint(drive.LoopPath());
    const ChildCopy notWritten =
        CopyAsUser(kNobody, kNobody, drive.DrivePath(), image, imaging::Task::Restore, 8 * kMiB);
    ASSERT_TRUE(notWritten.ended) << "the refused restore hung";
    EXPECT_EQ(notWritten.reason, FailureReason::DriveNotOpened);
    EXPECT_NE(std::string(notWritten.said).find("NotAuthorized"), std::string::npos)
        << notWritten.said;
    EXPECT_EQ(Fingerprint(drive.LoopPath()), before);
    const ChildCopy written = CopyAsUser(tester.Uid(), tester.Gid(), drive.DrivePath(), image,
                                         imaging::Task::Restore, 8 * kMiB);
    ASSERT_TRUE(written.ended) << "the granted restore hung";
    EXPECT_EQ(written.outcome, Outcome::Succeeded) << written.said;
    EXPECT_TRUE(SamePrefix(image, drive.LoopPath(), 6 * kMiB));
}

}  // namespace
