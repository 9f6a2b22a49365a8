#include <gtest/gtest.h>

#include <algorithm>

#include <map>
#include <optional>
#include <set>
#include <string>

#include "fake_dialog_view.h"
#include "fake_sysfs.h"
#include "gtest_support.h"
#include "imager_dialog_logic.h"
#include "loop_device.h"
#include "resource_ids.h"
#include "run/copy_job.h"
#include "test_files.h"
#include "write_confirmation.h"

namespace {

using imaging::Outcome;
using imaging::RunState;
using testing_support::FakeView;

class FakeClock : public ui::Clock {
public:
    std::int64_t Now() const override { return now; }
    std::int64_t now = 1'700'000'000;
};

class DialogLogic : public ::testing::Test {
protected:
    DialogLogic() : logic(view, clock, run) {}

    void StartACopy() {
        view.selected = {"1: volume: 30 MB"};
        view.imagePath = "/tmp/card.img";
        logic.OnStart();
        ASSERT_TRUE(logic.IsBusy());
    }

    FakeView view;
    FakeClock clock;
    int launches = 0;
    bool launchSucceeds = true;
    imaging::RunController run{[this](imaging::CopyJob&) { return ++launches, launchSucceeds; }};
    // What the worker would write, written by the tests instead.
    imaging::CopyJob& job = run.Job();
    ui::ImagerDialogLogic logic;
};

TEST_F(DialogLogic, StartDoesNothingWithoutASelectionAnIndexOrAPath) {
    struct Case {
        std::vector<std::string> selected;
        std::string path;
    };
    for (const Case& c : {Case{{}, "/tmp/card.img"}, Case{{"volume: 30 MB"}, "/tmp/card.img"},
                          Case{{"1: volume: 30 MB", "volume: 30 MB"}, "/tmp/card.img"},
                          Case{{"1: volume: 30 MB"}, ""}}) {
        view.selected = c.selected;
        view.imagePath = c.path;
        logic.OnStart();
        EXPECT_FALSE(logic.IsBusy());
        EXPECT_EQ(view.timersStarted, 0);
        EXPECT_EQ(launches, 0);
        EXPECT_EQ(job.progress.runState.load(), RunState::Idle);
    }
}

TEST_F(DialogLogic, StartPreparesTheJobAndTurnsTheWindowBusy) {
    job.result.outcome = Outcome::Failed;
    job.progress.doneBytes = 123;
    job.progress.startTime = 55;
    view.progress = 80;
    const std::string longPath = "/tmp/" + std::string(300, 'x') + ".img";
    view.selected = {"1: volume: 30 MB"};
    view.imagePath = longPath;

    logic.OnStart();

    EXPECT_TRUE(logic.IsBusy());
    EXPECT_EQ(launches, 1);
    EXPECT_TRUE(view.timerRunning);
    EXPECT_EQ(job.progress.runState.load(), RunState::Running);
    EXPECT_EQ(job.progress.doneBytes.load(), 0U);
    EXPECT_EQ(job.progress.startTime.load(), 0);
    EXPECT_EQ(job.request.imagePath, longPath) << "the whole path, never cut";
    EXPECT_EQ(view.progress, 0);
    EXPECT_FALSE(view.enabled[IDOK]);
    EXPECT_EQ(view.texts[IDCANCEL], "&Cancel");
}

TEST_F(DialogLogic, StartWhileBusyIsIgnored) {
    StartACopy();
    logic.OnStart();
    EXPECT_EQ(launches, 1);
    EXPECT_EQ(view.timersStarted, 1);
}

TEST_F(DialogLogic, AWorkerThatCannotStartLeavesTheWindowIdle) {
    launchSucceeds = false;
    view.selected = {"1: volume: 30 MB"};
    view.imagePath = "/tmp/card.img";

    logic.OnStart();

    EXPECT_FALSE(logic.IsBusy());
    EXPECT_FALSE(view.timerRunning);
    EXPECT_EQ(job.progress.runState.load(), RunState::Idle);
    EXPECT_TRUE(view.enabled[IDOK]);
    EXPECT_EQ(view.texts[IDCANCEL], "E&xit");
}

TEST_F(DialogLogic, ExitEndsAnIdleWindowAndOnlyCancelsABusyOne) {
    StartACopy();
    logic.OnExit();
    logic.OnExit();
    EXPECT_EQ(job.progress.runState.load(), RunState::CancelRequested);
    EXPECT_FALSE(view.endedWith.has_value());
    EXPECT_EQ(view.texts[IDCANCEL], "&Cancel");

    job.progress.runState = RunState::Idle;
    job.result.outcome = Outcome::Failed;
    logic.OnTimer();
    logic.OnExit();
    EXPECT_EQ(view.endedWith, 1);
}

// One tick of a running copy: what it shows, given the clock, the counts and the texts before.
struct Tick {
    const char* name;
    std::int64_t elapsed;
    std::uint64_t done;
    std::uint64_t total;
    std::map<int, std::string> shows;
    int progress;  // -1: untouched
};

class TimerTick : public DialogLogic, public ::testing::WithParamInterface<Tick> {};

TEST_P(TimerTick, ShowsTheProgressOfTheRun) {
    const Tick& tick = GetParam();
    StartACopy();
    view.texts[IDC_TIME_REMAINING] = "old remaining";
    view.texts[IDC_TOTAL_TIME] = "old total";
    view.texts[IDC_PERCENT] = "old percent";
    view.progress = -1;
    job.progress.totalBytes = tick.total;
    job.progress.doneBytes = tick.done;
    job.progress.startTime = clock.now;
    clock.now += tick.elapsed;

    logic.OnTimer();

    for (const auto& [id, text] : tick.shows) {
        EXPECT_EQ(view.texts[id], text) << "control " << id;
    }
    EXPECT_EQ(view.progress, tick.progress);
    EXPECT_TRUE(logic.IsBusy());
    EXPECT_TRUE(view.timerRunning);
}

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint64_t kGiB = 1ULL << 30;

INSTANTIATE_TEST_SUITE_P(
    Ticks, TimerTick,
    ::testing::Values(
        Tick{"Steady",
             10,
             10 * kMiB,
             100 * kMiB,
             {{IDC_TIME_ELAPSED, "00:10"},
              {IDC_SPEED, "1024 KBps"},
              {IDC_PERCENT, "10 %"},
              {IDC_TIME_REMAINING, "01:30"},
              {IDC_TOTAL_TIME, "01:40"}},
             10},
        Tick{"SpeedZeroKeepsTheEstimates",
             10,
             5,
             100 * kMiB,
             {{IDC_SPEED, "0 KBps"},
              {IDC_PERCENT, "0 %"},
              {IDC_TIME_REMAINING, "old remaining"},
              {IDC_TOTAL_TIME, "old total"}},
             0},
        Tick{"ClockSetBack",
             -65,
             10 * kMiB,
             100 * kMiB,
             {{IDC_TIME_ELAPSED, "-1:-5"}, {IDC_SPEED, "0 KBps"}, {IDC_TOTAL_TIME, "old total"}},
             10},
        Tick{"MinutesAreNotCapped",
             6005,
             6005 * kMiB,
             6005 * kMiB * 2,
             {{IDC_TIME_ELAPSED, "100:05"},
              {IDC_TIME_REMAINING, "100:05"},
              {IDC_TOTAL_TIME, "200:10"}},
             50},
        Tick{"BeyondFourGiB",
             4,
             4 * kGiB,
             8 * kGiB,
             {{IDC_SPEED, "1048576 KBps"}, {IDC_PERCENT, "50 %"}, {IDC_TIME_REMAINING, "00:04"}},
             50},
        Tick{"NeverAboveOneHundred",
             1,
             999,
             999,
             {{IDC_PERCENT, "100 %"}, {IDC_TIME_REMAINING, "00:00"}},
             100},
        Tick{"UnknownTotalLeavesThePercentage",
             3,
             0,
             0,
             {{IDC_PERCENT, "old percent"}, {IDC_TIME_ELAPSED, "00:03"}},
             -1}),
    [](const ::testing::TestParamInfo<Tick>& info) { return info.param.name; });

TEST_F(DialogLogic, TheTickInTheStartSecondDoesNothingNotEvenTheEndCheck) {
    StartACopy();
    job.progress.startTime = clock.now;
    job.progress.runState = RunState::Idle;
    job.result.outcome = Outcome::Succeeded;
    view.texts.clear();

    logic.OnTimer();

    EXPECT_TRUE(view.texts.empty());
    EXPECT_TRUE(logic.IsBusy());
    EXPECT_TRUE(view.timerRunning);
    EXPECT_EQ(view.successMessages, 0);
}

TEST_F(DialogLogic, TheEndCheckReportsOnlyASuccessAndRestoresTheButtons) {
    for (const Outcome outcome : {Outcome::Succeeded, Outcome::Failed}) {
        view.successMessages = 0;
        StartACopy();
        logic.OnTimer();
        EXPECT_TRUE(logic.IsBusy()) << "still running";

        job.result.outcome = outcome;
        job.progress.runState = RunState::Idle;
        clock.now += 1;
        logic.OnTimer();

        EXPECT_EQ(view.successMessages, outcome == Outcome::Succeeded ? 1 : 0);
        EXPECT_FALSE(logic.IsBusy());
        EXPECT_FALSE(view.timerRunning);
        EXPECT_TRUE(view.enabled[IDOK]);
        EXPECT_EQ(view.texts[IDCANCEL], "E&xit");
    }
}

TEST_F(DialogLogic, ARunThatFailedBeforeCopyingChangesNoTextAndEnds) {
    StartACopy();
    job.progress.runState = RunState::Idle;
    job.result.outcome = Outcome::Failed;

    logic.OnTimer();

    EXPECT_FALSE(logic.IsBusy());
    for (const int id :
         {IDC_TIME_ELAPSED, IDC_SPEED, IDC_PERCENT, IDC_TIME_REMAINING, IDC_TOTAL_TIME}) {
        EXPECT_EQ(view.texts.count(id), 0U) << "control " << id;
    }
    EXPECT_EQ(view.successMessages, 0);
}

// The line beneath the progress bar once a run is over, in the command line's words.
TEST(OutcomeLine, SaysHowTheRunEndedForEachReason) {
    using error::FailureReason;
    struct Case {
        imaging::CopyResult result;
        std::string line;
    };
    imaging::CopyResult readError{.outcome = Outcome::Failed,
                                  .failure = {FailureReason::ReadError, EIO, {}}};
    readError.failure.at = 30'000'128;
    imaging::CopyResult replacing = readError;
    replacing.replacing = true;
    imaging::CopyResult scattered{.outcome = Outcome::Succeeded, .imageBytes = 40'000'000};
    for (std::uint64_t sector = 1; sector <= 10; ++sector) {
        scattered.unreadableRanges.push_back({sector * 4096, 512});
        scattered.unreadableBytes += 512;
    }
    // Results named one by one: GCC 12 at -O3 mistakes a std::string in a temporary of an
    // array's initializer for an uninitialised one.
    imaging::CopyResult cancelled{.outcome = Outcome::Failed};
    cancelled.failure = {FailureReason::Cancelled, 0, {}};
    imaging::CopyResult diskFull{.outcome = Outcome::Failed};
    diskFull.failure = {FailureReason::WriteError, ENOSPC, {}};
    const imaging::CopyResult compressed{.outcome = Outcome::Succeeded,
                                         .format = imaging::ImageFormat::Zstd,
                                         .driveBytes = 4'000'000'000,
                                         .imageBytes = 1'000'000'000,
                                         .verified = true};
    const Case cases[] = {
        {cancelled, "Cancelled"},
        {readError,
         "Failed: read error at byte 30,000,128 (Input/output error); the image holds "
         "everything before it"},
        {replacing,
         "Failed: read error at byte 30,000,128 (Input/output error); the old image is kept as "
         "it was"},
        {diskFull, "Failed: " + error::DescribeFailure({FailureReason::WriteError, ENOSPC, {}})},
        {scattered,
         "Image complete but for 5120 unreadable bytes, written as zeros at 4096+512 8192+512 "
         "12288+512 16384+512 20480+512 24576+512 28672+512 32768+512 and 2 more areas "
         "(offset+bytes; map in /tmp/c.zst.map): /tmp/c.zst (raw, 40.0 MB; SHA-256 in "
         "/tmp/c.zst.sha256)"},
        {compressed,
         "Image complete and verified: /tmp/c.zst (zstd, 1.0 GB of 4.0 GB, 25 %; SHA-256 in "
         "/tmp/c.zst.sha256)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ui::OutcomeLine({.imagePath = "/tmp/c.zst"}, c.result), c.line);
    }
}

// The options reach the run and cannot change while it goes; the verify pass says so; the line
// tells how the run ended until the next Start.
TEST_F(DialogLogic, OptionsReachTheRunAndTheLineTellsHowItEnded) {
    view.checked = {IDC_VERIFY, IDC_PARTITIONS_ONLY};
    StartACopy();
    EXPECT_TRUE(job.request.verifyAfter);
    EXPECT_TRUE(job.request.partitionsOnly);
    EXPECT_FALSE(view.enabled[IDC_VERIFY]);
    EXPECT_FALSE(view.enabled[IDC_PARTITIONS_ONLY]);
    EXPECT_EQ(view.texts[IDC_STATUS], "");

    // A check of the image before the copy says so, then gives way to the copy's line.
    job.progress.startTime = clock.now;
    job.progress.checkingImage = true;
    clock.now += 1;
    logic.OnTimer();
    EXPECT_EQ(view.texts[IDC_STATUS], "Checking the image");
    job.progress.checkingImage = false;
    clock.now += 1;
    logic.OnTimer();
    EXPECT_EQ(view.texts[IDC_STATUS], "");

    job.progress.verifying = true;
    clock.now += 2;
    logic.OnTimer();
    EXPECT_EQ(view.texts[IDC_STATUS], "Verifying: reading the card a second time");

    job.result.outcome = Outcome::Failed;
    job.result.failure = {error::FailureReason::ContentDiffers, 0, {}};
    job.progress.runState = RunState::Idle;
    logic.OnTimer();
    EXPECT_EQ(view.texts[IDC_STATUS].rfind("Failed: ", 0), 0U) << view.texts[IDC_STATUS];
    EXPECT_TRUE(view.enabled[IDC_VERIFY]);
    EXPECT_TRUE(view.enabled[IDC_PARTITIONS_ONLY]);

    view.checked.clear();
    StartACopy();
    EXPECT_FALSE(job.request.verifyAfter);
    EXPECT_EQ(view.texts[IDC_STATUS], "");
}

// Drive events wait for a pause before the list is refreshed, and wait for the run's end.
TEST_F(DialogLogic, DriveEventsRefreshAfterAPauseAndNeverDuringARun) {
    logic.OnDrivesChanged();
    logic.OnDrivesChanged();
    EXPECT_EQ(view.refreshDelays, 2);

    StartACopy();
    view.entries = {"stale"};
    logic.OnDrivesChanged();
    logic.OnRefreshDelayOver();
    EXPECT_EQ(view.refreshDelays, 2);
    EXPECT_EQ(view.entries, std::vector<std::string>{"stale"});

    job.result.outcome = Outcome::Failed;
    job.progress.runState = RunState::Idle;
    logic.OnTimer();
    EXPECT_NE(view.entries, std::vector<std::string>{"stale"}) << "refreshed once the run ended";
}

// A write's outcome lines, in the command line's words: what became of the card each time.
TEST(OutcomeLine, SaysWhatAWriteLeftOnTheCard) {
    using error::FailureReason;
    const imaging::CopyRequest request{.task = imaging::Task::Restore,
                                       .drive = {.node = "/dev/sdb"},
                                       .imagePath = "/tmp/c.img.zst"};
    imaging::CopyResult cancelled{.outcome = Outcome::Failed};
    cancelled.failure = {FailureReason::Cancelled, 0, {}};
    cancelled.restored.cardWritten = true;
    imaging::CopyResult tooLarge{.outcome = Outcome::Failed};
    tooLarge.failure = {FailureReason::ImageTooLarge, 0, "by 4,194,304 bytes (5 MB)"};
    imaging::CopyResult locked{.outcome = Outcome::Failed};
    locked.failure = {FailureReason::WriteProtected, 0, {}};
    imaging::CopyResult damaged = cancelled;
    damaged.failure = {FailureReason::ImageDamaged, 0,
                       "zstd: Restored data doesn't match checksum"};
    imaging::CopyResult differs = damaged;
    differs.restored.tableWritten = true;
    differs.failure = {FailureReason::ContentDiffers, 0,
                       "at 3,984,588,800 bytes, 93 % of the card"};
    imaging::CopyResult restored{.outcome = Outcome::Succeeded};
    restored.restored = {.format = imaging::ImageFormat::Zstd,
                         .cardBytes = 64'000'000,
                         .driveBytes = 64'000'000,
                         .driveSha256 = "ab12",
                         .writeSeconds = 2,
                         .verified = true,
                         .sameAsCard = "card SanDisk SD 0x1234"};
    const std::pair<imaging::CopyResult, std::string> cases[] = {
        {cancelled, "Cancelled: the card holds part of the image and no partition table"},
        {tooLarge,
         "Failed: image larger than the card (by 4,194,304 bytes (5 MB)); nothing was written "
         "to the card"},
        {locked,
         "Failed: card is write-protected: slide its lock switch to unlock it; nothing was "
         "written to the card"},
        {damaged,
         "Failed: image damaged (zstd: Restored data doesn't match checksum); the card holds "
         "part of the image and no partition table"},
        {differs,
         "Failed: drive content differs from the image (at 3,984,588,800 bytes, 93 % of the "
         "card)"},
        {restored,
         "Card restored and verified: /dev/sdb holds /tmp/c.img.zst (zstd image, 64,000,000 "
         "bytes written in 2 s, 32.0 MB/s); the card now holds exactly what card SanDisk SD "
         "0x1234 held when imaged: SHA-256 ab12"},
    };
    for (const auto& [result, line] : cases) {
        EXPECT_EQ(ui::OutcomeLine(request, result), line);
    }
}

// Write mode relabels the window for a write, takes no card picked for reading, ticks Verify;
// read mode comes back exactly as it was left.
TEST_F(DialogLogic, WriteModeRelabelsTheWindowAndReadModeComesBackAsItWas) {
    view.checked = {IDC_PARTITIONS_ONLY};
    view.selected = {"1: volume: 30 MB"};

    view.checked.insert(IDC_WRITE_MODE);
    logic.OnDirectionChanged();
    EXPECT_TRUE(logic.WritesToCard());
    EXPECT_EQ(view.texts[IDC_PATH_LABEL], "Source Image &File");
    EXPECT_EQ(view.texts[IDOK], "&Write");
    EXPECT_EQ(view.texts[IDC_VERIFY], "&Verify after writing");
    EXPECT_EQ(view.checked, (std::set<int>{IDC_VERIFY, IDC_WRITE_MODE}));
    EXPECT_FALSE(view.enabled[IDC_PARTITIONS_ONLY]);
    EXPECT_TRUE(view.selected.empty());
    // Nothing is asked, let alone written, without a card picked now.
    view.imagePath = "/tmp/card.img";
    logic.OnStart();
    EXPECT_FALSE(logic.IsBusy());
    EXPECT_TRUE(view.confirmations.empty());

    view.checked.erase(IDC_WRITE_MODE);
    logic.OnDirectionChanged();
    EXPECT_FALSE(logic.WritesToCard());
    EXPECT_EQ(view.texts[IDC_PATH_LABEL], "Target Image &File");
    EXPECT_EQ(view.texts[IDOK], "&Start");
    EXPECT_EQ(view.texts[IDC_VERIFY], "&Verify after reading");
    EXPECT_EQ(view.checked, std::set<int>{IDC_PARTITIONS_ONLY});
    EXPECT_TRUE(view.enabled[IDC_PARTITIONS_ONLY]);

    // A switch that lands during a run waits for its end: the run stays a read.
    StartACopy();
    view.checked.insert(IDC_WRITE_MODE);
    logic.OnDirectionChanged();
    EXPECT_FALSE(logic.WritesToCard());
    EXPECT_EQ(view.texts[IDC_PATH_LABEL], "Target Image &File");
    job.result.outcome = Outcome::Failed;
    job.progress.runState = RunState::Idle;
    clock.now += 1;
    logic.OnTimer();
    EXPECT_TRUE(logic.WritesToCard());
    EXPECT_EQ(view.texts[IDC_PATH_LABEL], "Source Image &File");
    EXPECT_EQ(view.texts[IDC_STATUS].rfind("Failed", 0), 0U) << "the run's last line stays";
}

// The confirmation box's Write takes effect only once the box has been open two seconds.
TEST(WriteConfirmation, WriteAcceptsOnlyAfterTheGuard) {
    for (const auto& [open, accepts] :
         {std::pair{0, false}, std::pair{1, false}, std::pair{2, false}, std::pair{3, true}}) {
        EXPECT_EQ(ui::WriteMayBeAccepted(1000, 1000 + open), accepts) << open << " s";
    }
}

// A write shows the card's own description and what will happen to it before anything starts;
// a missing image or an unconfirmed box launches nothing.
TEST_F(DialogLogic, AWriteLaunchesOnlyOnceTheCardIsConfirmed) {
    REQUIRE_ROOT();
    const testing_support::TempDir dir;
    testing_support::WriteRandomFile(dir / "card.bin", 8 << 20, 1);
    const testing_support::LoopDevice card(dir / "card.bin");
    testing_support::FakeSysfs sysfs(dir / "root");
    sysfs.Add({.name = "sdz",
               .node = card.Path(),
               .deviceNumber = card.DeviceNumber(),
               .removableFlag = true});
    const std::string image = (dir / "image.img").string();
    testing_support::WriteRandomFile(image, 4096, 2);
    logic.OnRefresh();
    ASSERT_EQ(view.entries.size(), 1U);
    view.checked.insert(IDC_WRITE_MODE);
    logic.OnDirectionChanged();
    view.selected = {view.entries.front()};
    struct Case {
        std::string path;
        bool confirms;
        std::size_t asked;  // confirmations so far
        std::string status;
    };
    const Case cases[] = {
        {(dir / "ghost.img").string(), true, 0,
         "Failed: image refused (ghost.img: No such file or directory); nothing was written to "
         "the card"},
        {image, false, 1, "Not confirmed: nothing was written to the card"},
        {image, true, 2, "Writing"},
    };
    for (const Case& c : cases) {
        view.imagePath = c.path;
        view.confirms = c.confirms;
        logic.OnStart();
        EXPECT_EQ(view.confirmations.size(), c.asked) << c.path;
        EXPECT_EQ(view.texts[IDC_STATUS], c.status);
        EXPECT_EQ(logic.IsBusy(), c.confirms && c.asked != 0);
    }
    EXPECT_EQ(launches, 1);
    EXPECT_NE(view.confirmations.back().find("8388608 bytes"), std::string::npos);
    EXPECT_NE(
        view.confirmations.back().find("ALL DATA on it will be replaced by " + image +
                                       " (raw image, 4,096 bytes; no published checksum found)."),
        std::string::npos)
        << view.confirmations.back();
    const imaging::CopyRequest& request = run.Request();
    EXPECT_EQ(request.task, imaging::Task::Restore);
    EXPECT_EQ(request.drive.length, 8U << 20);
    EXPECT_TRUE(request.verifyAfter);
    EXPECT_FALSE(request.partitionsOnly);
}

}  // namespace
