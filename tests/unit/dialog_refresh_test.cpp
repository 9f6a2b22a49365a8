#include <gtest/gtest.h>

#include <algorithm>

#include <optional>

#include "drive_probe.h"
#include "fake_sysfs.h"
#include "gtest_support.h"
#include "imager_dialog_logic.h"
#include "loop_device.h"
#include "run/copy_job.h"

namespace {

using namespace testing_support;

class ListOnlyView : public ui::DialogView {
public:
    void ResetDeviceList() override {
        entries.clear();
        selected.reset();
    }
    void AddDeviceEntry(const std::string& text, const std::string& details) override {
        entries.push_back(text);
        this->details.push_back(details);
    }
    std::optional<std::string> SelectedDeviceEntry() const override { return selected; }
    void SelectDeviceEntry(const std::string& text) override {
        if (std::find(entries.begin(), entries.end(), text) != entries.end()) {
            selected = text;
        }
    }
    std::string ImagePathText() const override { return "/tmp/never-written.img"; }
    bool IsControlChecked(int) const override { return false; }
    void SetControlText(int, const std::string&) override {}
    void EnableControl(int, bool) override {}
    void SetProgressPosition(int) override {}
    void StartTimer() override {}
    void StopTimer() override {}
    void StartRefreshDelay() override {}
    void ShowSuccessMessage(const std::string&) override {}
    void SetControlChecked(int, bool) override {}
    void ClearDeviceSelection() override {}
    bool ConfirmWrite(const std::string&) override { return false; }
    void EndDialog(int) override {}

    std::vector<std::string> entries;
    std::vector<std::string> details;
    std::optional<std::string> selected;
};

TEST(DialogRefresh, EmptiesTheListAndItsSelectionWhenNoDriveQualifies) {
    const TempDir dir;
    FakeSysfs sysfs(dir / "root");
    sysfs.Add({.name = "sda", .node = "", .deviceNumber = "8:0"});
    ListOnlyView view;
    view.entries = {"3: volume: 10 MB"};
    view.selected = "3: volume: 10 MB";
    ui::SystemClock clock;
    imaging::RunController run([](imaging::CopyJob&) { return true; });
    ui::ImagerDialogLogic logic(view, clock, run);

    logic.OnRefresh();

    EXPECT_TRUE(view.entries.empty());
    EXPECT_FALSE(view.selected.has_value());
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
    ListOnlyView view;
    ui::SystemClock clock;
    int launches = 0;
    imaging::RunController run([&](imaging::CopyJob&) { return ++launches, true; });
    ui::ImagerDialogLogic logic(view, clock, run);

    logic.OnRefresh();
    ASSERT_EQ(view.entries, std::vector<std::string>{"0: volume: 3 MB"});
    view.selected = view.entries.front();
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
    ListOnlyView view;
    ui::SystemClock clock;
    imaging::RunController run([](imaging::CopyJob&) { return true; });
    ui::ImagerDialogLogic logic(view, clock, run);
    logic.OnRefresh();
    view.selected = "0: volume: 3 MB";

    sysfs.Add({.name = "sdx",
               .node = newcomer.Path(),
               .deviceNumber = newcomer.DeviceNumber(),
               .bus = "usb"});
    logic.OnRefreshDelayOver();

    EXPECT_EQ(view.entries.size(), 2U);
    EXPECT_EQ(view.selected, "1: volume: 3 MB");
}

}  // namespace
