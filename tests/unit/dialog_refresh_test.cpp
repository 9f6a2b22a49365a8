#include <gtest/gtest.h>

#include <algorithm>

#include <optional>

#include "drive_probe.h"
#include "fake_dialog_view.h"
#include "fake_sysfs.h"
#include "gtest_support.h"
#include "imager_dialog_logic.h"
#include "loop_device.h"
#include "run/copy_job.h"

namespace {

using namespace testing_support;

TEST(DialogRefresh, EmptiesTheListAndItsSelectionWhenNoDriveQualifies) {
    const TempDir dir;
    FakeSysfs sysfs(dir / "root");
    sysfs.Add({.name = "sda", .node = "", .deviceNumber = "8:0"});
    FakeView view;
    view.entries = {"3: volume: 10 MB"};
    view.selected = {"3: volume: 10 MB"};
    ui::SystemClock clock;
    imaging::RunController run([](imaging::CopyJob&) { return true; });
    ui::ImagerDialogLogic logic(view, clock, run);

    logic.OnRefresh();

    EXPECT_TRUE(view.entries.empty());
    EXPECT_TRUE(view.selected.empty());
}

// Start hands the worker the identity of the disk the list showed under the chosen index.
TEST(DialogRefresh, StartNamesTheDiskTheListShowed) {
    REQUIRE_ROOT();
    const TempDir dir;
    SHELL("truncate -s 3M " + (dir / "card.bin").string());
    const LoopDevice card(dir / "card.bin");
    FakeSysfs sysfs(dir / "root");
    sysfs.Add({.name = "mmcblk0",
               .node = card.Path(),
               .deviceNumber = card.DeviceNumber(),
               .bus = "mmc"});
    FakeView view;
    ui::SystemClock clock;
    int launches = 0;
    imaging::RunController run([&](imaging::CopyJob&) { return ++launches, true; });
    ui::ImagerDialogLogic logic(view, clock, run);

    logic.OnRefresh();
    ASSERT_EQ(view.entries, std::vector<std::string>{"0: volume: 3 MB"});
    view.selected = {view.entries.front()};
    view.imagePath = "/tmp/never-written.img";
    logic.OnStart();

    EXPECT_EQ(launches, 1);
    EXPECT_EQ(run.Request().drive.node, drive::DrivePath(0));
    EXPECT_EQ(run.Request().drive.identity.device, static_cast<std::uint64_t>(card.Device()));
    EXPECT_NE(run.Request().drive.identity.sequence, 0U);
    EXPECT_NE(view.details.front().find("Bus: SD/MMC"), std::string::npos) << view.details.front();
}

// A disk that comes in ahead of the chosen one shifts its index; the selection stays on the disk.
TEST(DialogRefresh, KeepsTheSelectionOnTheSameDisk) {
    REQUIRE_ROOT();
    const TempDir dir;
    SHELL("truncate -s 3M " + (dir / "a.bin").string() + " " + (dir / "b.bin").string());
    const LoopDevice chosen(dir / "a.bin");
    const LoopDevice newcomer(dir / "b.bin");
    FakeSysfs sysfs(dir / "root");
    sysfs.Add({.name = "sdy",
               .node = chosen.Path(),
               .deviceNumber = chosen.DeviceNumber(),
               .bus = "usb"});
    FakeView view;
    ui::SystemClock clock;
    imaging::RunController run([](imaging::CopyJob&) { return true; });
    ui::ImagerDialogLogic logic(view, clock, run);
    logic.OnRefresh();
    view.selected = {"0: volume: 3 MB"};

    sysfs.Add({.name = "sdx",
               .node = newcomer.Path(),
               .deviceNumber = newcomer.DeviceNumber(),
               .bus = "usb"});
    logic.OnRefreshDelayOver();

    EXPECT_EQ(view.entries.size(), 2U);
    EXPECT_EQ(view.selected, std::vector<std::string>{"1: volume: 3 MB"});
}

}  // namespace
