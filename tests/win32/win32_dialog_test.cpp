#include <gtest/gtest.h>

// The other Windows headers need windows.h before them.
#include <windows.h>

#include <dbt.h>

#include <commctrl.h>

#include <memory>
#include <string>
#include <vector>

#include "file_backed_drive.h"
#include "imager_dlg.h"
#include "resource_ids.h"
#include "run/copy_job.h"

namespace {

using namespace win_testing;

constexpr DWORD kRunTimeoutMs = 60000;

std::string TextOf(HWND window) {
    char text[256] = {};
    ::GetWindowTextA(window, text, sizeof text);
    return text;
}

std::string ClassOf(HWND window) {
    char name[64] = {};
    ::GetClassNameA(window, name, sizeof name);
    return name;
}

// Answers the modal boxes the window opens while a test pumps its messages: each box is read
// (caption and texts) and closed with OK. Runs from a thread timer, which every modal loop of
// the thread dispatches.
class ModalAnswerer {
public:
    explicit ModalAnswerer(HWND mainWindow) : m_main(mainWindow) {
        theAnswerer = this;
        m_timer = ::SetTimer(nullptr, 0, 50, &ModalAnswerer::OnTick);
    }
    ~ModalAnswerer() {
        ::KillTimer(nullptr, m_timer);
        theAnswerer = nullptr;
    }
    ModalAnswerer(const ModalAnswerer&) = delete;
    ModalAnswerer& operator=(const ModalAnswerer&) = delete;

    std::vector<std::vector<std::string>> boxes;  // caption, then each child's text
    bool mainWasBusy = false;

private:
    static void CALLBACK OnTick(HWND, UINT, UINT_PTR, DWORD) {
        ::EnumThreadWindows(::GetCurrentThreadId(), &ModalAnswerer::Visit, 0);
    }

    static BOOL CALLBACK Visit(HWND window, LPARAM) {
        ModalAnswerer* self = theAnswerer;
        if (self == nullptr || window == self->m_main || !::IsWindowVisible(window) ||
            ClassOf(window) != "#32770" || self->m_answered == window) {
            return TRUE;
        }
        self->m_answered = window;
        std::vector<std::string> box{TextOf(window)};
        for (HWND child = ::GetWindow(window, GW_CHILD); child != nullptr;
             child = ::GetWindow(child, GW_HWNDNEXT)) {
            box.push_back(TextOf(child));
        }
        self->boxes.push_back(box);
        self->mainWasBusy =
            self->m_main != nullptr && !::IsWindowEnabled(::GetDlgItem(self->m_main, IDOK));
        ::PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        return TRUE;
    }

    static inline ModalAnswerer* theAnswerer = nullptr;
    HWND m_main;
    HWND m_answered = nullptr;
    UINT_PTR m_timer = 0;
};

struct Control {
    int id;
    const char* className;
    const char* text;
    RECT units;   // left, top, right, bottom in dialog units
    DWORD style;  // bits that must be set
};

// The template in its order, which is also the order of the child windows.
const Control kMainControls[] = {
    {IDOK, "Button", "&Start", {249, 186, 50, 14}, BS_DEFPUSHBUTTON | WS_TABSTOP},
    {IDCANCEL, "Button", "E&xit", {249, 210, 50, 14}, WS_TABSTOP},
    {IDC_SELECT, "Button", "Se&lect", {245, 101, 50, 14}, WS_TABSTOP},
    // The progress bar turns its WS_BORDER into an edge of its own drawing.
    {IDC_PROGRESS, "msctls_progress32", "Progress1", {47, 166, 171, 14}, 0},
    // A label's mnemonic moves the focus to the control that follows it in this order.
    {IDC_PATH_LABEL, "Static", "Target Image &File", {24, 105, 69, 8}, SS_LEFT},
    {IDC_IMAGE_PATH, "Edit", "", {99, 102, 137, 14}, ES_AUTOHSCROLL | WS_TABSTOP},
    {IDC_PARTITIONS_ONLY,
     "Button",
     "Only the &partitions",
     {99, 121, 80, 10},
     BS_AUTOCHECKBOX | WS_TABSTOP},
    {IDC_VERIFY,
     "Button",
     "&Verify after reading",
     {181, 121, 90, 10},
     BS_AUTOCHECKBOX | WS_TABSTOP},
    {IDC_READ_MODE,
     "Button",
     "Read the card into an &image",
     {24, 89, 130, 10},
     BS_AUTORADIOBUTTON | WS_GROUP | WS_TABSTOP},
    {IDC_WRITE_MODE,
     "Button",
     "Write an image &onto the card",
     {160, 89, 140, 10},
     BS_AUTORADIOBUTTON},
    {IDC_REFRESH, "Button", "&Refresh", {245, 34, 50, 14}, WS_GROUP | WS_TABSTOP},
    {IDC_STATIC, "Button", "Process", {18, 143, 291, 91}, BS_GROUPBOX},
    {IDC_STATIC, "Button", "File Select", {18, 7, 291, 130}, BS_GROUPBOX},
    {IDC_ELAPSED_LABEL, "Static", "Time elapsed", {28, 197, 49, 8}, SS_LEFT},
    {IDC_REMAINING_LABEL, "Static", "Time remained", {25, 215, 53, 8}, SS_LEFT},
    {IDC_TIME_ELAPSED, "Static", "00:00", {91, 197, 21, 8}, SS_LEFT},
    {IDC_TIME_REMAINING, "Static", "00:00", {92, 215, 21, 8}, SS_LEFT},
    {IDC_PERCENT, "Static", "0 %", {226, 169, 22, 8}, SS_LEFT},
    {IDC_TOTAL_LABEL, "Static", "Total time", {135, 197, 41, 8}, SS_LEFT},
    {IDC_TOTAL_TIME, "Static", "00:00", {189, 197, 21, 8}, SS_LEFT},
    {IDC_SPEED_LABEL, "Static", "Speed", {145, 215, 21, 8}, SS_LEFT},
    {IDC_SPEED, "Static", "N/A", {178, 215, 48, 8}, SS_CENTER},
    {IDC_DEVICE_LABEL, "Static", "CF card &Device", {33, 34, 57, 8}, SS_LEFT},
    {IDC_DEVICE_LIST,
     "ListBox",
     "",
     {99, 24, 137, 62},
     LBS_EXTENDEDSEL | LBS_SORT | LBS_NOTIFY | LBS_WANTKEYBOARDINPUT | WS_TABSTOP},
    {IDC_CARD_ROWS, "ListBox", "", {24, 153, 219, 77}, LBS_OWNERDRAWFIXED | LBS_HASSTRINGS},
    {IDC_STATUS, "Static", "", {18, 238, 291, 17}, SS_LEFT},
};

class Win32Dialog : public ::testing::Test {
protected:
    void OpenWindow() {
        m_dialog = std::make_unique<CImagerDlg>();
        ASSERT_NE(m_dialog->Create(), nullptr);
    }

    HWND Item(int id) const { return ::GetDlgItem(m_dialog->Window(), id); }

    void StartCopyTo(const std::string& image) {
        HWND list = Item(IDC_DEVICE_LIST);
        ASSERT_EQ(::SendMessageA(list, LB_GETCOUNT, 0, 0), 1);
        ::SendMessageA(list, LB_SETSEL, TRUE, 0);
        ::SetWindowTextA(Item(IDC_IMAGE_PATH), image.c_str());
        ::SendMessageA(Item(IDOK), BM_CLICK, 0, 0);
        ASSERT_TRUE(m_dialog->IsBusy());
        EXPECT_FALSE(::IsWindowEnabled(Item(IDOK)));
        EXPECT_EQ(TextOf(Item(IDCANCEL)), "&Cancel");
    }

    void WaitUntilIdle() {
        ASSERT_TRUE(PumpUntil([&] { return !m_dialog->IsBusy(); }, kRunTimeoutMs));
        EXPECT_TRUE(::IsWindowEnabled(Item(IDOK)));
        EXPECT_EQ(TextOf(Item(IDCANCEL)), "E&xit");
    }

    void TearDown() override {
        if (m_dialog && ::IsWindow(m_dialog->Window())) {
            ::DestroyWindow(m_dialog->Window());
        }
    }

    TempFolder m_folder;
    std::unique_ptr<CImagerDlg> m_dialog;
};

TEST_F(Win32Dialog, HasEveryControlOfItsTemplateInOrder) {
    OpenWindow();
    HWND window = m_dialog->Window();
    EXPECT_EQ(TextOf(window), "Dresmont");
    RECT client{};
    ::GetClientRect(window, &client);
    RECT size{0, 0, 326, 258};
    ::MapDialogRect(window, &size);
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);
    EXPECT_NE(::GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_APPWINDOW, 0);

    HWND child = ::GetWindow(window, GW_CHILD);
    for (const Control& expected : kMainControls) {
        ASSERT_NE(child, nullptr) << expected.text;
        EXPECT_EQ(static_cast<int>(static_cast<short>(::GetDlgCtrlID(child))), expected.id)
            << expected.text;
        EXPECT_EQ(ClassOf(child), expected.className) << expected.text;
        if (expected.id != IDC_DEVICE_LIST) {
            EXPECT_EQ(TextOf(child), expected.text);
        }
        const DWORD style = static_cast<DWORD>(::GetWindowLongA(child, GWL_STYLE));
        EXPECT_EQ(style & expected.style, expected.style) << expected.text;
        RECT placed{};
        ::GetWindowRect(child, &placed);
        ::MapWindowPoints(HWND_DESKTOP, window, reinterpret_cast<POINT*>(&placed), 2);
        RECT wanted = expected.units;
        ::MapDialogRect(window, &wanted);
        EXPECT_EQ(placed.left, wanted.left) << expected.text;
        EXPECT_EQ(placed.top, wanted.top) << expected.text;
        EXPECT_EQ(placed.right - placed.left, wanted.right) << expected.text;
        if (expected.id != IDC_DEVICE_LIST) {
            EXPECT_EQ(placed.bottom - placed.top, wanted.bottom) << expected.text;
        }
        child = ::GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_EQ(child, nullptr);
}

INT_PTR CALLBACK LeaveToTheDialogManager(HWND /*box*/, UINT /*message*/, WPARAM /*wParam*/,
                                         LPARAM /*lParam*/) {
    return FALSE;
}

// The write confirmation's template: its text, Write off until the guard has passed, and
// Cancel the default button, so Enter cancels as Esc does.
TEST_F(Win32Dialog, TheWriteConfirmationDefaultsToCancel) {
    OpenWindow();
    HWND box =
        ::CreateDialogParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_CONFIRM_WRITE),
                             m_dialog->Window(), LeaveToTheDialogManager, 0);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(TextOf(box), "Write to card");
    EXPECT_EQ(LOWORD(::SendMessageA(box, DM_GETDEFID, 0, 0)), IDCANCEL);
    EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(box, IDOK)));
    EXPECT_EQ(TextOf(::GetDlgItem(box, IDOK)), "&Write");
    EXPECT_EQ(TextOf(::GetDlgItem(box, IDCANCEL)), "Cancel");
    ::DestroyWindow(box);
}

TEST_F(Win32Dialog, OffersTheAboutBoxInItsSystemMenu) {
    OpenWindow();
    char text[64] = {};
    HMENU menu = ::GetSystemMenu(m_dialog->Window(), FALSE);
    ASSERT_GT(::GetMenuStringA(menu, IDM_ABOUTBOX, text, sizeof text, MF_BYCOMMAND), 0);
    EXPECT_STREQ(text, "&About kalvor...");
    const int count = ::GetMenuItemCount(menu);
    EXPECT_EQ(::GetMenuItemID(menu, count - 1), static_cast<UINT>(IDM_ABOUTBOX));
    EXPECT_NE(::GetMenuState(menu, count - 2, MF_BYPOSITION) & MF_SEPARATOR, 0U);
}

TEST(IconPlacement, CentresTheIconRoundingUpAndTruncatingTowardZero) {
    EXPECT_EQ(CImagerDlg::IconOffset(100, 32), 34);
    EXPECT_EQ(CImagerDlg::IconOffset(33, 32), 1);
    EXPECT_EQ(CImagerDlg::IconOffset(32, 32), 0);
    EXPECT_EQ(CImagerDlg::IconOffset(10, 32), -10);
}

TEST_F(Win32Dialog, CopiesAWholeDriveThroughTheWindow) {
    const std::uint64_t size = 5 * 1024 * 1024 + 512;
    const std::string card = m_folder / "card.bin";
    WriteRandomFile(card, size, 1);
    const FileBackedDrive drive("\\\\.\\PhysicalDrive1", card);
    OpenWindow();
    ModalAnswerer answerer(m_dialog->Window());
    char entry[64] = {};
    ::SendMessageA(Item(IDC_DEVICE_LIST), LB_GETTEXT, 0, reinterpret_cast<LPARAM>(entry));
    EXPECT_STREQ(entry, "1: volume: 5 MB");
    const std::string image = m_folder / "card.img";
    ::SendMessageA(Item(IDC_VERIFY), BM_CLICK, 0, 0);

    StartCopyTo(image);
    EXPECT_FALSE(::IsWindowEnabled(Item(IDC_VERIFY)));
    WaitUntilIdle();

    EXPECT_TRUE(m_dialog->Run().Request().verifyAfter);
    EXPECT_FALSE(m_dialog->Run().Request().partitionsOnly);
    EXPECT_EQ(TextOf(Item(IDC_STATUS)).rfind("Image complete and verified: ", 0), 0U)
        << TextOf(Item(IDC_STATUS));
    ASSERT_EQ(answerer.boxes.size(), 1U);
    EXPECT_EQ(answerer.boxes[0][0], "win_tests");
    EXPECT_NE(
        std::find(answerer.boxes[0].begin(), answerer.boxes[0].end(), "Write Image Successfully"),
        answerer.boxes[0].end());
    EXPECT_TRUE(answerer.mainWasBusy) << "the buttons came back before the box was dismissed";
    EXPECT_EQ(FileSize(image), size);
    EXPECT_TRUE(SamePrefix(image, card, size));
    EXPECT_EQ(TextOf(Item(IDC_PERCENT)), "100 %");
    EXPECT_EQ(::SendMessageA(Item(IDC_PROGRESS), PBM_GETPOS, 0, 0), 100);
}

TEST_F(Win32Dialog, ExitDuringACopyOnlyCancels) {
    const std::uint64_t size = 64 * 1024 * 1024;
    const std::string card = m_folder / "card.bin";
    WriteRandomFile(card, size, 2);
    const FileBackedDrive drive("\\\\.\\PhysicalDrive3", card);
    OpenWindow();
    ModalAnswerer answerer(m_dialog->Window());
    const std::string image = m_folder / "card.img";

    StartCopyTo(image);
    ::SendMessageA(Item(IDCANCEL), BM_CLICK, 0, 0);

    EXPECT_TRUE(::IsWindow(m_dialog->Window()));
    EXPECT_EQ(TextOf(Item(IDCANCEL)), "&Cancel");
    WaitUntilIdle();
    EXPECT_TRUE(answerer.boxes.empty());
    EXPECT_LT(FileSize(image), size);
    EXPECT_EQ(m_dialog->Run().Result().outcome, imaging::Outcome::Failed);
    EXPECT_EQ(TextOf(Item(IDC_STATUS)), "Cancelled");
}

TEST_F(Win32Dialog, RefusesTargetsThatAreNoFiles) {
    const std::string card = m_folder / "card.bin";
    WriteRandomFile(card, 1024 * 1024, 3);
    const FileBackedDrive drive("\\\\.\\PhysicalDrive2", card);
    OpenWindow();
    ModalAnswerer answerer(m_dialog->Window());
    ::CreateDirectoryA((m_folder / "folder").c_str(), nullptr);

    for (const std::string& target :
         {std::string("\\\\.\\PhysicalDrive0"), m_folder / "folder", m_folder / "missing\\a.img"}) {
        StartCopyTo(target);
        WaitUntilIdle();
        EXPECT_EQ(m_dialog->Run().Result().outcome, imaging::Outcome::Failed) << target;
        EXPECT_EQ(m_dialog->Run().Result().failure.reason, error::FailureReason::ImageRefused)
            << target;
        EXPECT_EQ(m_dialog->Run().StartTime(), 0) << target;
        EXPECT_EQ(TextOf(Item(IDC_STATUS)).rfind("Failed: image refused", 0), 0U)
            << TextOf(Item(IDC_STATUS));
    }
    EXPECT_TRUE(answerer.boxes.empty());
}

// A key pressed in the focused control with `modifier` (VK_SHIFT, VK_CONTROL) held, as the
// thread's keyboard state tells the controls.
void PressWith(HWND control, WPARAM key, int modifier) {
    BYTE keys[256] = {};
    ::GetKeyboardState(keys);
    keys[modifier] = 0x80;
    ::SetKeyboardState(keys);
    ::SendMessageA(control, WM_KEYDOWN, key, 1);
    ::SendMessageA(control, WM_KEYUP, key, 0xC0000001);
    keys[modifier] = 0;
    ::SetKeyboardState(keys);
}

// Several cards by keys (Shift+Down, Ctrl+A) read into a folder: a row each that ends Done, in
// place of the single progress display, and an image each named from its card.
TEST_F(Win32Dialog, ReadsSeveralCardsIntoAFolderARowEach) {
    const std::uint64_t size = 3 * 1024 * 1024;
    std::vector<std::pair<std::string, std::string>> drives;
    for (const int number : {1, 2}) {
        const std::string file = m_folder / ("card" + std::to_string(number) + ".bin");
        WriteRandomFile(file, size, 10 + number);
        drives.emplace_back("\\\\.\\PhysicalDrive" + std::to_string(number), file);
    }
    const FileBackedDrive cards(drives);
    OpenWindow();
    ModalAnswerer answerer(m_dialog->Window());
    HWND list = Item(IDC_DEVICE_LIST);
    ASSERT_EQ(::SendMessageA(list, LB_GETCOUNT, 0, 0), 2);
    ::SetFocus(list);
    ::SendMessageA(list, LB_SETSEL, TRUE, 0);
    ::SendMessageA(list, LB_SETCARETINDEX, 0, FALSE);
    PressWith(list, VK_DOWN, VK_SHIFT);
    EXPECT_EQ(::SendMessageA(list, LB_GETSELCOUNT, 0, 0), 2);
    EXPECT_EQ(TextOf(Item(IDC_PATH_LABEL)), "Target &Folder");
    ::SendMessageA(list, WM_KEYDOWN, VK_UP, 1);
    EXPECT_EQ(::SendMessageA(list, LB_GETSELCOUNT, 0, 0), 1);
    EXPECT_EQ(TextOf(Item(IDC_PATH_LABEL)), "Target Image &File");
    PressWith(list, 'A', VK_CONTROL);
    EXPECT_EQ(::SendMessageA(list, LB_GETSELCOUNT, 0, 0), 2);
    EXPECT_EQ(TextOf(Item(IDC_PATH_LABEL)), "Target &Folder");
    ::SetWindowTextA(Item(IDC_IMAGE_PATH), (m_folder / "").c_str());

    ::SendMessageA(Item(IDOK), BM_CLICK, 0, 0);
    ASSERT_TRUE(m_dialog->IsBusy());
    EXPECT_TRUE(::IsWindowVisible(Item(IDC_CARD_ROWS)));
    EXPECT_FALSE(::IsWindowVisible(Item(IDC_PROGRESS)));
    WaitUntilIdle();

    HWND rows = Item(IDC_CARD_ROWS);
    ASSERT_EQ(::SendMessageA(rows, LB_GETCOUNT, 0, 0), 2);
    for (int row = 0; row < 2; ++row) {
        char text[256] = {};
        ::SendMessageA(rows, LB_GETTEXT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(text));
        const std::string shown = text;
        EXPECT_EQ(shown.substr(shown.rfind('\t') + 1), "Done") << shown;
    }
    EXPECT_EQ(TextOf(Item(IDC_STATUS)), "All 2 drives succeeded");
    ASSERT_EQ(answerer.boxes.size(), 1U);
    EXPECT_NE(
        std::find(answerer.boxes[0].begin(), answerer.boxes[0].end(), "Write Images Successfully"),
        answerer.boxes[0].end());
    for (std::size_t at = 0; at < drives.size(); ++at) {
        const std::string image =
            m_folder / ("Dresmont_Test_Card-FB000" + std::to_string(at + 1) + ".img");
        EXPECT_EQ(FileSize(image), size) << image;
        EXPECT_TRUE(SamePrefix(image, drives[at].second, size)) << image;
    }
}

// The platform announces a disk that comes or goes; the list follows without Refresh.
TEST_F(Win32Dialog, TheListFollowsDisksThatComeAndGo) {
    const std::string card = m_folder / "card.bin";
    WriteRandomFile(card, 1024 * 1024, 5);
    OpenWindow();
    HWND list = Item(IDC_DEVICE_LIST);
    const LRESULT before = ::SendMessageA(list, LB_GETCOUNT, 0, 0);
    {
        const FileBackedDrive drive("\\\\.\\PhysicalDrive2", card);
        ::SendMessageA(m_dialog->Window(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0);
        EXPECT_TRUE(
            PumpUntil([&] { return ::SendMessageA(list, LB_GETCOUNT, 0, 0) == before + 1; }, 1000));
    }
    ::SendMessageA(m_dialog->Window(), WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0);
    EXPECT_TRUE(PumpUntil([&] { return ::SendMessageA(list, LB_GETCOUNT, 0, 0) == before; }, 1000));
}

TEST_F(Win32Dialog, TheAboutBoxOpensAndClosesDuringACopy) {
    const std::uint64_t size = 24 * 1024 * 1024;
    const std::string card = m_folder / "card.bin";
    WriteRandomFile(card, size, 4);
    const FileBackedDrive drive("\\\\.\\PhysicalDrive1", card);
    OpenWindow();
    ModalAnswerer answerer(m_dialog->Window());
    const std::string image = m_folder / "card.img";
    StartCopyTo(image);

    ::SendMessageA(m_dialog->Window(), WM_SYSCOMMAND, IDM_ABOUTBOX | 0x3, 0);

    ASSERT_GE(answerer.boxes.size(), 1U);
    const std::vector<std::string>& about = answerer.boxes[0];
    EXPECT_EQ(about[0], "About kalvor");
    EXPECT_NE(std::find(about.begin(), about.end(), "kalvor Version 1.0"), about.end());
    WaitUntilIdle();
    ASSERT_EQ(answerer.boxes.size(), 2U);
    EXPECT_TRUE(SamePrefix(image, card, size));
}

}  // namespace
