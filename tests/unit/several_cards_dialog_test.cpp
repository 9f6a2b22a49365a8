#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "drive_probe.h"
#include "fake_dialog_view.h"
#include "folder_image_names.h"
#include "gtest_support.h"
#include "imager_dialog_logic.h"
#include "removable_cards.h"
#include "resource_ids.h"
#include "run/copy_worker.h"
#include "test_files.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

// Each card's image is named from the card; a name taken by a file, a link to nothing, a side
// file or an earlier card (in any case of letters) gets a number, and the extension comes from
// an image's name in the folder.
TEST(FolderImageNames, NameEachImageFromItsCardAndNeverReplaceAFile) {
    const TempDir dir;
    SHELL("touch " + (dir / "Acme_Card-S1.img").string() + " " +
          (dir / "card-sdb.img.sha256").string() + " && ln -s nowhere " +
          (dir / "SD_Card-0x12.img").string());
    const std::vector<drive::Drive> cards = {
        {.node = "/dev/sda", .vendor = "Acme", .model = "Card", .serial = "S1"},
        {.node = "/dev/sdc", .model = " SD/Card ", .serial = "0x12 "},
        {.node = "/dev/sdb"},
        {.node = "/dev/sdd", .vendor = "Acme", .model = "Card", .serial = "S1"},
        {.node = "\\\\.\\PhysicalDrive2", .model = "..hidden", .serial = "x"},
        {.node = "/dev/sde", .vendor = "ACME", .model = "CARD", .serial = "s1"}};
    const std::string folder = dir.Path().string();
    struct Case {
        std::string target;
        std::vector<std::string> names;  // none: refused
    };
    const Case cases[] = {
        {folder,
         {"Acme_Card-S1-2.img", "SD_Card-0x12-2.img", "card-sdb-2.img", "Acme_Card-S1-3.img",
          "hidden-x.img", "ACME_CARD-s1.img"}},
        {folder + "/any.img.zst",
         {"Acme_Card-S1.img.zst", "SD_Card-0x12.img.zst", "card-sdb.img.zst",
          "Acme_Card-S1-2.img.zst", "hidden-x.img.zst", "ACME_CARD-s1-3.img.zst"}},
        {folder + "/cards.GZ",
         {"Acme_Card-S1.GZ", "SD_Card-0x12.GZ", "card-sdb.GZ", "Acme_Card-S1-2.GZ", "hidden-x.GZ",
          "ACME_CARD-s1-3.GZ"}},
        {folder + "/no-such-folder", {}},
        {folder + "/x.d", {}},
        {folder + "/no-such-folder/x.img", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        const auto paths = ui::ImagePathsInFolder(c.target, cards);
        ASSERT_EQ(paths.has_value(), !c.names.empty());
        for (std::size_t at = 0; paths && at < cards.size(); ++at) {
            EXPECT_EQ((*paths)[at], (dir / c.names[at]).string());
        }
    }
}

// Real runs, ticked as the window's timer does, until the window is idle again.
void TickUntilIdle(ui::ImagerDialogLogic& logic) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (logic.IsBusy()) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the runs never ended";
        logic.OnTimer();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Two cards read into a folder, a row each, the second card's run failing to start: it alone
// fails, named by its slot and serial, the first's image is whole, and no success box appears.
TEST(SeveralCards, ReadIntoAFolderAndAFailedCardNamedBySlot) {
    REQUIRE_ROOT();
    const TempDir dir;
    FakeSysfs sysfs(dir / "root");
    const RemovableCards cards(dir, sysfs);
    FakeView view;
    const ui::SystemClock clock;
    int launches = 0;
    imaging::RunController run(
        [&](imaging::CopyJob& job) { return ++launches != 2 && imaging::LaunchCopyWorker(job); });
    ui::ImagerDialogLogic logic(view, clock, run);
    logic.OnRefresh();
    ASSERT_EQ(view.entries.size(), 3U);
    view.selected = {view.entries[0], view.entries[2]};
    view.imagePath = (dir / "cards.img.zst").string();
    logic.OnSelectionChanged();
    EXPECT_EQ(view.texts[IDC_PATH_LABEL], "Target &Folder");

    logic.OnStart();
    ASSERT_TRUE(logic.IsBusy());
    EXPECT_EQ(view.rowNames, (std::vector<std::string>{"0: " + drive::DrivePath(0) + "  ",
                                                       "2: " + drive::DrivePath(2) + "  "}));
    TickUntilIdle(logic);

    EXPECT_EQ(launches, 2);
    EXPECT_EQ(view.rowStates[0], "Done 100");
    EXPECT_EQ(view.rowStates[1].rfind("Failed: ", 0), 0U) << view.rowStates[1];
    EXPECT_EQ(view.texts[IDC_STATUS].rfind("1 of 2 drives failed: slot 2 (SERIAL-sdy): ", 0), 0U)
        << view.texts[IDC_STATUS];
    EXPECT_EQ(view.successMessages, 0);
    EXPECT_TRUE(RunCommand("zstd -dc " + (dir / "card-SERIAL-sdw.img.zst").string() + " | cmp - " +
                           cards.Loop(0)));
}

// An image that lies on one of the cards is refused for the whole set before anything is asked
// or opened: a read into a folder on one of the cards read, a write of an image kept on one of
// the cards written.
TEST(SeveralCards, AnImageOnOneOfTheCardsWritesNothingToAny) {
    REQUIRE_ROOT();
    const TempDir dir;
    FakeSysfs sysfs(dir / "root");
    const RemovableCards cards(dir, sysfs);
    SHELL("mkfs.ext4 -q -F " + cards.Loop(2));
    const ScopedMount volume(cards.Loop(2), dir / "volume");
    ASSERT_TRUE(volume.IsMounted());
    WriteRandomFile(dir / "volume" / "on-card.img", 1 << 20, 3);
    const std::string before = Fingerprint(cards.Loop(0));
    for (const bool write : {false, true}) {
        SCOPED_TRACE(write);
        FakeView view;
        view.confirms = true;
        const ui::SystemClock clock;
        imaging::RunController run;
        ui::ImagerDialogLogic logic(view, clock, run);
        logic.OnRefresh();
        if (write) {
            view.checked.insert(IDC_WRITE_MODE);
            logic.OnDirectionChanged();
        }
        view.selected = {view.entries[0], view.entries[2]};
        view.imagePath = (dir / "volume" / (write ? "on-card.img" : "")).string();

        logic.OnStart();
        TickUntilIdle(logic);

        EXPECT_EQ(run.Job().progress.runState.load(), imaging::RunState::Idle);
        EXPECT_TRUE(view.confirmations.empty());
        EXPECT_NE(view.texts[IDC_STATUS].find(
                      " lies on " + drive::DrivePath(2) +
                      (write ? "; nothing was written to any card" : "; nothing was read")),
                  std::string::npos)
            << view.texts[IDC_STATUS];
    }
    EXPECT_EQ(Fingerprint(cards.Loop(0)), before);
    EXPECT_EQ(Output("ls " + (dir / "volume").string()), "lost+found\non-card.img\n");
}

}  // namespace
