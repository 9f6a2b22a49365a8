#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>

#include "about_dlg.h"
#include "drive_probe.h"
#include "faulty_drive.h"
#include "imager_dlg.h"
#include "loop_device.h"
#include "removable_cards.h"
#include "removable_drive.h"
#include "test_system.h"

using namespace testing_support;

#define QREQUIRE_ROOT()                                            \
    do {                                                           \
        switch (CheckRoot()) {                                     \
            case RootCheck::Fail:                                  \
                QFAIL("this test needs root, and CI must run it"); \
            case RootCheck::Skip:                                  \
                QSKIP("needs root for loop devices");              \
            case RootCheck::Run:                                   \
                break;                                             \
        }                                                          \
    } while (false)

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr int kRunTimeoutMs = 60000;

// Answers the modal windows the dialog opens while a test waits. A message box is read and
// answered (OK, or `questionAnswer` where it asks Yes or No); a popup menu, the About box and
// the file chooser go to the test's own handlers.
class ModalAnswerer {
public:
    ModalAnswerer() {
        m_timer.callOnTimeout([this] { Poll(); });
        m_timer.start(20);
    }

    QStringList messageTexts;
    QStringList messageCaptions;
    QMessageBox::StandardButton questionAnswer = QMessageBox::No;
    std::function<void(QMenu*)> onMenu;
    std::function<void(CAboutDlg*)> onAbout;
    std::function<void(QFileDialog*)> onChooser;
    // The write confirmation ("Write to card"), answered by the test itself.
    std::function<void(QDialog*)> onConfirm;

private:
    void Poll() {
        QWidget* window = QApplication::activePopupWidget();
        if (window == nullptr) {
            window = QApplication::activeModalWidget();
        }
        if (window == nullptr || window == m_handled) {
            return;
        }
        m_handled = window;
        // Whatever a handler opens runs its own loop; run from a fresh timer, it does not hold
        // up this one, which must go on to answer it.
        QTimer::singleShot(0, window, [this, window] { Answer(window); });
    }

    void Answer(QWidget* window) {
        auto* box = qobject_cast<QMessageBox*>(window);
        if (window->objectName() == QStringLiteral("IDD_CONFIRM_WRITE") && onConfirm) {
            onConfirm(qobject_cast<QDialog*>(window));
        } else if (box != nullptr) {
            messageTexts << box->text();
            messageCaptions << box->windowTitle();
            QAbstractButton* ok = box->button(QMessageBox::Ok);
            (ok != nullptr ? ok : box->button(questionAnswer))->click();
        } else if (auto* menu = qobject_cast<QMenu*>(window); menu && onMenu) {
            onMenu(menu);
        } else if (auto* about = qobject_cast<CAboutDlg*>(window); about && onAbout) {
            onAbout(about);
        } else if (auto* chooser = qobject_cast<QFileDialog*>(window); chooser && onChooser) {
            onChooser(chooser);
        }
    }

    QTimer m_timer;
    QPointer<QWidget> m_handled;
};

template <typename Widget>
Widget* Child(QWidget& dialog, const char* name) {
    auto* widget = dialog.findChild<Widget*>(QString::fromLatin1(name));
    if (widget == nullptr) {
        qFatal("the window has no %s", name);
    }
    return widget;
}

}  // namespace

class ImagerDlgTest : public QObject {
    Q_OBJECT

private:
    // The window on a machine whose only disk is a removable drive of `size` random bytes.
    void OpenWindowOnADrive(std::uint64_t size) {
        m_drive = std::make_unique<RemovableDrive>(*m_dir, size);
        m_dialog = std::make_unique<CImagerDlg>();
        m_dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
    }

    void SelectEntry(const QString& text) {
        auto* list = Child<QListWidget>(*m_dialog, "IDC_DEVICE_LIST");
        const QList<QListWidgetItem*> items = list->findItems(text, Qt::MatchExactly);
        QCOMPARE(items.size(), 1);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualItemRect(items.first()).center());
        QVERIFY(items.first()->isSelected());
    }

    void TypeImagePath(const QString& path) {
        auto* edit = Child<QLineEdit>(*m_dialog, "IDC_IMAGE_PATH");
        edit->clear();
        QTest::keyClicks(edit, path);
    }

    QPushButton* Start() { return Child<QPushButton>(*m_dialog, "IDOK"); }
    QPushButton* Exit() { return Child<QPushButton>(*m_dialog, "IDCANCEL"); }

    void StartCopyTo(const QString& image) {
        SelectEntry(QString::fromStdString(EntryText()));
        TypeImagePath(image);
        QTest::mouseClick(Start(), Qt::LeftButton);
        QVERIFY(m_dialog->IsBusy());
    }

    std::string EntryText() const {
        return "0: volume: " + std::to_string(FileSize(m_drive->BackingFile()) >> 20) + " MB";
    }

    void WaitUntilIdle() {
        QTRY_VERIFY_WITH_TIMEOUT(!m_dialog->IsBusy(), kRunTimeoutMs);
        QVERIFY(Start()->isEnabled());
        QCOMPARE(Exit()->text(), QStringLiteral("E&xit"));
    }

    std::unique_ptr<TempDir> m_dir;
    std::unique_ptr<RemovableDrive> m_drive;
    std::unique_ptr<CImagerDlg> m_dialog;

private slots:
    void init() { m_dir = std::make_unique<TempDir>(); }

    void cleanup() {
        m_dialog.reset();
        m_drive.reset();
        m_dir.reset();
        const QWidgetList leaked = QApplication::topLevelWidgets();
        for (QWidget* widget : leaked) {
            qWarning() << "leaked window" << widget->metaObject()->className()
                       << widget->windowTitle();
        }
        QVERIFY(leaked.isEmpty());
    }

    void showsItsInitialTextsInTheTemplatesTabOrder() {
        CImagerDlg dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Dresmont"));
        const std::pair<const char*, const char*> texts[] = {
            {"IDOK", "&Start"},
            {"IDCANCEL", "E&xit"},
            {"IDC_SELECT", "Se&lect"},
            {"IDC_REFRESH", "&Refresh"},
            {"IDC_TIME_ELAPSED", "00:00"},
            {"IDC_TIME_REMAINING", "00:00"},
            {"IDC_TOTAL_TIME", "00:00"},
            {"IDC_PERCENT", "0 %"},
            {"IDC_SPEED", "N/A"},
            {"IDC_PATH_LABEL", "Target Image &File"},
            {"IDC_DEVICE_LABEL", "CF card &Device"},
            {"IDC_READ_MODE", "Read the card into an &image"},
            {"IDC_WRITE_MODE", "Write an image &onto the card"},
            {"IDC_VERIFY", "&Verify after reading"}};
        for (const auto& [name, text] : texts) {
            auto* widget = Child<QWidget>(dialog, name);
            QCOMPARE(widget->property("text").toString(), QString::fromLatin1(text));
        }
        QCOMPARE(Child<QProgressBar>(dialog, "IDC_PROGRESS")->value(), 0);
        QVERIFY(Child<QLineEdit>(dialog, "IDC_IMAGE_PATH")->text().isEmpty());
        QVERIFY(Child<QPushButton>(dialog, "IDOK")->isDefault());
        QVERIFY(!dialog.windowIcon().isNull());

        QCOMPARE(QApplication::focusWidget(), Child<QWidget>(dialog, "IDOK"));
        QVERIFY(Child<QRadioButton>(dialog, "IDC_READ_MODE")->isChecked());
        const char* tabOrder[] = {
            "IDCANCEL",   "IDC_SELECT",  "IDC_IMAGE_PATH",  "IDC_PARTITIONS_ONLY",
            "IDC_VERIFY", "IDC_REFRESH", "IDC_DEVICE_LIST", "IDC_READ_MODE",
            "IDOK"};
        for (const char* next : tabOrder) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget()->objectName(), QString::fromLatin1(next));
        }
    }

    // Tab order, the first arrow key in a list with nothing selected, Alt+mnemonics and Enter on
    // Start: a card imaged without the mouse into a .zst, verified, and the line says so.
    void keyboardAloneImagesACard() {
        QREQUIRE_ROOT();
        OpenWindowOnADrive(4 * kMiB);
        m_dialog->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_dialog.get()));
        ModalAnswerer answerer;
        const auto image = *m_dir / "keys.img.zst";
        const auto pressTab = [](int times) {
            for (int i = 0; i < times; ++i) {
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            }
        };
        pressTab(3);
        QTest::keyClicks(QApplication::focusWidget(), QString::fromStdString(image.string()));
        pressTab(4);
        auto* list = Child<QListWidget>(*m_dialog, "IDC_DEVICE_LIST");
        QCOMPARE(QApplication::focusWidget(), list);
        QTest::keyClick(list, Qt::Key_Down);
        QCOMPARE(list->selectedItems().size(), 1);
        // Alt+R refreshes the list, which keeps the selection on the same disk; Alt+V ticks
        // Verify after reading.
        QSignalSpy refreshed(Child<QPushButton>(*m_dialog, "IDC_REFRESH"), &QPushButton::clicked);
        QTest::keyClick(list, Qt::Key_R, Qt::AltModifier);
        QTRY_COMPARE(refreshed.count(), 1);
        QCOMPARE(list->selectedItems().size(), 1);
        QTest::keyClick(list, Qt::Key_V, Qt::AltModifier);
        QTRY_VERIFY(Child<QCheckBox>(*m_dialog, "IDC_VERIFY")->isChecked());
        list->setFocus();
        pressTab(2);
        QCOMPARE(QApplication::focusWidget(), Start());

        QTest::keyClick(Start(), Qt::Key_Return);

        QVERIFY(m_dialog->IsBusy());
        QVERIFY(!Child<QCheckBox>(*m_dialog, "IDC_VERIFY")->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(answerer.messageTexts.size(), 1, kRunTimeoutMs);
        WaitUntilIdle();
        QVERIFY(m_dialog->Run().Request().verifyAfter);
        QVERIFY(Child<QLabel>(*m_dialog, "IDC_STATUS")
                    ->text()
                    .startsWith(QStringLiteral("Image complete and verified: ")));
        QVERIFY(RunCommand("zstd -dc '" + image.string() + "' | cmp - " + m_drive->LoopPath()));
    }

    // Keyboard alone: write mode, the image's path and the card by their mnemonics, Write, and
    // the confirmation: Esc there writes nothing; its Write, once the guard has passed, writes
    // the card, which then holds the image.
    void keyboardAloneWritesAnImageOntoACard() {
        QREQUIRE_ROOT();
        OpenWindowOnADrive(8 * kMiB);
        m_dialog->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_dialog.get()));
        const auto image = *m_dir / "write.img";
        WriteRandomFile(image, 6 * kMiB, 33);
        const std::string before = Fingerprint(m_drive->LoopPath());
        ModalAnswerer answerer;
        int asked = 0;
        bool escape = true;
        answerer.onConfirm = [&](QDialog* box) {
            ++asked;
            auto* write = box->findChild<QPushButton*>(QStringLiteral("IDOK"));
            if (escape || write == nullptr) {
                QTest::keyClick(box, Qt::Key_Escape);
                return;
            }
            QVERIFY(!write->isEnabled());
            QTRY_VERIFY_WITH_TIMEOUT(write->isEnabled(), 5000);
            QTest::keyClick(box, Qt::Key_W, Qt::AltModifier);
        };
        QTest::keyClick(m_dialog.get(), Qt::Key_O, Qt::AltModifier);
        QTRY_VERIFY(Child<QRadioButton>(*m_dialog, "IDC_WRITE_MODE")->isChecked());
        QCOMPARE(Start()->text(), QStringLiteral("&Write"));
        QVERIFY(Child<QCheckBox>(*m_dialog, "IDC_VERIFY")->isChecked());
        QVERIFY(!Child<QCheckBox>(*m_dialog, "IDC_PARTITIONS_ONLY")->isEnabled());
        QTest::keyClick(m_dialog.get(), Qt::Key_F, Qt::AltModifier);
        QCOMPARE(QApplication::focusWidget(), Child<QWidget>(*m_dialog, "IDC_IMAGE_PATH"));
        QTest::keyClicks(QApplication::focusWidget(), QString::fromStdString(image.string()));
        QTest::keyClick(m_dialog.get(), Qt::Key_D, Qt::AltModifier);
        auto* list = Child<QListWidget>(*m_dialog, "IDC_DEVICE_LIST");
        QCOMPARE(QApplication::focusWidget(), list);
        QTest::keyClick(list, Qt::Key_Down);
        QCOMPARE(list->selectedItems().size(), 1);

        Start()->setFocus();
        QTest::keyClick(Start(), Qt::Key_Return);
        QTRY_COMPARE(asked, 1);
        QVERIFY(!m_dialog->IsBusy());
        QCOMPARE(Fingerprint(m_drive->LoopPath()), before);

        escape = false;
        QTest::keyClick(Start(), Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(answerer.messageTexts.size(), 1, kRunTimeoutMs);
        QCOMPARE(answerer.messageTexts.first(), QStringLiteral("Write Card Successfully"));
        WaitUntilIdle();
        QVERIFY(Child<QLabel>(*m_dialog, "IDC_STATUS")
                    ->text()
                    .startsWith(QStringLiteral("Card restored and verified: ")));
        QVERIFY(RunCommand("cmp -n 6291456 '" + image.string() + "' " + m_drive->LoopPath()));
    }

    // Keyboard alone, two cards: Down and Shift+Down select both, Write, a confirmation that
    // names both, and a row each that ends Done, each card holding the (gzip) image. Then read
    // mode, Ctrl+A, a folder: an image a card, named from it, a name already taken numbered.
    void keyboardAloneWritesAndReadsTwoCards() {
        QREQUIRE_ROOT();
        m_drive = std::make_unique<RemovableDrive>(*m_dir, 8 * kMiB);
        WriteRandomFile(*m_dir / "second.bin", 8 * kMiB, 5);
        const LoopDevice second(*m_dir / "second.bin");
        m_drive->Sysfs().Add(
            {.name = "sdy",
             .node = second.Path(),
             .deviceNumber = second.DeviceNumber(),
             .removableFlag = true,
             .attributes = {
                 {"device/vendor", "Acme"}, {"device/model", "SD/Card"}, {"device/serial", "S2"}}});
        m_dialog = std::make_unique<CImagerDlg>();
        m_dialog->show();
        m_dialog->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_dialog.get()));
        const auto image = *m_dir / "system.img";
        WriteRandomFile(image, 6 * kMiB, 34);
        // gzip: the two cards share its decode.
        QVERIFY(RunCommand("gzip -k " + image.string()));
        ModalAnswerer answerer;
        QString confirmation;
        answerer.onConfirm = [&](QDialog* box) {
            confirmation =
                box->findChild<QPlainTextEdit*>(QStringLiteral("IDC_CONFIRM_TEXT"))->toPlainText();
            auto* write = box->findChild<QPushButton*>(QStringLiteral("IDOK"));
            QTRY_VERIFY_WITH_TIMEOUT(write->isEnabled(), 5000);
            QTest::keyClick(box, Qt::Key_W, Qt::AltModifier);
        };
        QTest::keyClick(m_dialog.get(), Qt::Key_O, Qt::AltModifier);
        QTRY_VERIFY(Child<QRadioButton>(*m_dialog, "IDC_WRITE_MODE")->isChecked());
        QTest::keyClick(m_dialog.get(), Qt::Key_F, Qt::AltModifier);
        QTest::keyClicks(QApplication::focusWidget(),
                         QString::fromStdString(image.string() + ".gz"));
        QTest::keyClick(m_dialog.get(), Qt::Key_D, Qt::AltModifier);
        auto* list = Child<QListWidget>(*m_dialog, "IDC_DEVICE_LIST");
        QTest::keyClick(list, Qt::Key_Down);
        QTest::keyClick(list, Qt::Key_Down, Qt::ShiftModifier);
        QCOMPARE(list->selectedItems().size(), 2);
        Start()->setFocus();
        QTest::keyClick(Start(), Qt::Key_Return);

        QTRY_COMPARE_WITH_TIMEOUT(answerer.messageTexts.size(), 1, kRunTimeoutMs);
        QCOMPARE(answerer.messageTexts.first(), QStringLiteral("Write Cards Successfully"));
        WaitUntilIdle();
        QVERIFY(confirmation.contains(QString::fromStdString(drive::DrivePath(0))));
        QVERIFY(confirmation.contains(QString::fromStdString(drive::DrivePath(1))));
        QVERIFY(confirmation.contains(QStringLiteral("Acme SD/Card, serial S2")));
        QVERIFY(confirmation.contains(QStringLiteral("ALL DATA on each of these 2 cards")));
        auto* rows = Child<QTableWidget>(*m_dialog, "IDC_CARD_ROWS");
        QVERIFY(rows->isVisible());
        QVERIFY(!Child<QProgressBar>(*m_dialog, "IDC_PROGRESS")->isVisible());
        QCOMPARE(rows->rowCount(), 2);
        for (int row = 0; row < 2; ++row) {
            QCOMPARE(rows->item(row, 3)->text(), QStringLiteral("Done"));
        }
        // scripts/screenshot takes the README's picture of the rows here.
        if (const char* picture = std::getenv("DRESMONT_ROWS_PICTURE")) {
            QVERIFY(m_dialog->grab().save(QString::fromLocal8Bit(picture)));
        }
        for (const std::string& card : {m_drive->LoopPath(), second.Path()}) {
            QVERIFY(RunCommand("cmp -n 6291456 '" + image.string() + "' " + card));
        }

        const auto folder = *m_dir / "cards";
        std::filesystem::create_directory(folder);
        WriteRandomFile(folder / "card-sdz.img", 1, 7);
        m_dialog->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_dialog.get()));
        QTest::keyClick(m_dialog.get(), Qt::Key_I, Qt::AltModifier);
        QTRY_COMPARE(Child<QLabel>(*m_dialog, "IDC_PATH_LABEL")->text(),
                     QStringLiteral("Target &Folder"));
        QTest::keyClick(m_dialog.get(), Qt::Key_D, Qt::AltModifier);
        QTest::keyClick(list, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(list->selectedItems().size(), 2);
        QTest::keyClick(m_dialog.get(), Qt::Key_F, Qt::AltModifier);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(QApplication::focusWidget(), QString::fromStdString(folder.string()));
        Start()->setFocus();
        QTest::keyClick(Start(), Qt::Key_Return);

        QTRY_COMPARE_WITH_TIMEOUT(answerer.messageTexts.size(), 2, kRunTimeoutMs);
        QCOMPARE(answerer.messageTexts.last(), QStringLiteral("Write Images Successfully"));
        WaitUntilIdle();
        QCOMPARE(FileSize(folder / "card-sdz.img"), 1U);
        QVERIFY(
            RunCommand("cmp " + (folder / "card-sdz-2.img").string() + " " + m_drive->LoopPath()));
        QVERIFY(
            RunCommand("cmp " + (folder / "Acme_SD_Card-S2.img").string() + " " + second.Path()));
    }

    // Twelve cards' descriptions in one confirmation: the text scrolls, the box fits the screen
    // and its buttons stay in view; Enter there writes nothing to any card.
    void aConfirmationOfManyCardsKeepsItsButtonsInView() {
        QREQUIRE_ROOT();
        m_drive = std::make_unique<RemovableDrive>(*m_dir, 1 * kMiB);
        const RemovableCards more(*m_dir, m_drive->Sysfs(), 11, 1 * kMiB);
        const auto image = *m_dir / "small.img";
        WriteRandomFile(image, 512 * 1024, 35);
        const std::string before = Fingerprint(m_drive->LoopPath());
        m_dialog = std::make_unique<CImagerDlg>();
        m_dialog->show();
        m_dialog->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_dialog.get()));
        ModalAnswerer answerer;
        bool fits = false;
        answerer.onConfirm = [&](QDialog* box) {
            auto* text = box->findChild<QPlainTextEdit*>(QStringLiteral("IDC_CONFIRM_TEXT"));
            auto* write = box->findChild<QPushButton*>(QStringLiteral("IDOK"));
            fits = text->verticalScrollBar()->maximum() > 0 && write->isVisible() &&
                   box->frameGeometry().height() <= box->screen()->availableGeometry().height();
            // Enter, as Esc, cancels: Cancel is the default.
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        };
        QTest::keyClick(m_dialog.get(), Qt::Key_O, Qt::AltModifier);
        QTRY_VERIFY(Child<QRadioButton>(*m_dialog, "IDC_WRITE_MODE")->isChecked());
        TypeImagePath(QString::fromStdString(image.string()));
        auto* list = Child<QListWidget>(*m_dialog, "IDC_DEVICE_LIST");
        list->setFocus();
        QTest::keyClick(list, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(list->selectedItems().size(), 12);
        Start()->setFocus();
        QTest::keyClick(Start(), Qt::Key_Return);

        QVERIFY(fits);
        QVERIFY(!m_dialog->IsBusy());
        QCOMPARE(Child<QLabel>(*m_dialog, "IDC_STATUS")->text(),
                 QStringLiteral("Not confirmed: nothing was written to any card"));
        QCOMPARE(Fingerprint(m_drive->LoopPath()), before);
    }

    void copiesAWholeDriveThroughTheWindow() {
        QREQUIRE_ROOT();
        const std::uint64_t size = 37 * kMiB + 512;
        OpenWindowOnADrive(size);
        ModalAnswerer answerer;
        const auto image = *m_dir / "card.img";

        StartCopyTo(QString::fromStdString(image.string()));
        QVERIFY(!Start()->isEnabled());
        QCOMPARE(Exit()->text(), QStringLiteral("&Cancel"));
        QTRY_COMPARE_WITH_TIMEOUT(answerer.messageTexts.size(), 1, kRunTimeoutMs);

        QCOMPARE(answerer.messageTexts.first(), QStringLiteral("Write Image Successfully"));
        QCOMPARE(answerer.messageCaptions.first(),
                 QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName());
        WaitUntilIdle();
        QCOMPARE(FileSize(image), size);
        QVERIFY(SamePrefix(image, m_drive->LoopPath(), size));
        QCOMPARE(Child<QProgressBar>(*m_dialog, "IDC_PROGRESS")->value(), 100);
        QCOMPARE(Child<QLabel>(*m_dialog, "IDC_PERCENT")->text(), QStringLiteral("100 %"));
    }

    void exitDuringACopyCancelsAndKeepsTheWindowOpen() {
        QREQUIRE_ROOT();
        const std::uint64_t size = 64 * kMiB;
        OpenWindowOnADrive(size);
        ModalAnswerer answerer;
        const auto image = *m_dir / "card.img";

        StartCopyTo(QString::fromStdString(image.string()));
        QTest::mouseClick(Exit(), Qt::LeftButton);

        QVERIFY(m_dialog->isVisible());
        QCOMPARE(Exit()->text(), QStringLiteral("&Cancel"));
        WaitUntilIdle();
        QVERIFY(m_dialog->isVisible());
        QVERIFY(answerer.messageTexts.isEmpty());
        QVERIFY(FileSize(image) < size);
    }

    void enterDuringACopyIsIgnored() {
        QREQUIRE_ROOT();
        OpenWindowOnADrive(16 * kMiB);
        ModalAnswerer answerer;
        SelectEntry(QString::fromStdString(EntryText()));
        TypeImagePath(QString::fromStdString((*m_dir / "card.img").string()));

        QTest::keyClick(Child<QLineEdit>(*m_dialog, "IDC_IMAGE_PATH"), Qt::Key_Return);
        QVERIFY(m_dialog->IsBusy());
        TypeImagePath(QString::fromStdString((*m_dir / "second.img").string()));
        QTest::keyClick(Child<QLineEdit>(*m_dialog, "IDC_IMAGE_PATH"), Qt::Key_Return);

        QTRY_COMPARE_WITH_TIMEOUT(answerer.messageTexts.size(), 1, kRunTimeoutMs);
        WaitUntilIdle();
        QVERIFY(!QFile::exists(QString::fromStdString((*m_dir / "second.img").string())));
        QVERIFY(m_dialog->isVisible());
    }

    void theCloseBoxDuringACopyOnlyCancels() {
        QREQUIRE_ROOT();
        OpenWindowOnADrive(64 * kMiB);
        ModalAnswerer answerer;
        StartCopyTo(QString::fromStdString((*m_dir / "card.img").string()));

        QVERIFY(!m_dialog->close());
        QTest::keyClick(m_dialog.get(), Qt::Key_Escape);

        QVERIFY(m_dialog->isVisible());
        WaitUntilIdle();
        QVERIFY(answerer.messageTexts.isEmpty());
        QVERIFY(m_dialog->close());
        QVERIFY(!m_dialog->isVisible());
        QCOMPARE(m_dialog->result(), 1);
    }

    void refreshDuringACopyRebuildsTheListAndTheCopyGoesOn() {
        QREQUIRE_ROOT();
        const std::uint64_t size = 37 * kMiB + 512;
        OpenWindowOnADrive(size);
        ModalAnswerer answerer;
        const auto image = *m_dir / "card.img";
        StartCopyTo(QString::fromStdString(image.string()));

        QTest::mouseClick(Child<QPushButton>(*m_dialog, "IDC_REFRESH"), Qt::LeftButton);

        auto* list = Child<QListWidget>(*m_dialog, "IDC_DEVICE_LIST");
        QCOMPARE(list->count(), 1);
        QCOMPARE(list->selectedItems().size(), 1);
        QVERIFY(m_dialog->IsBusy());
        QTRY_COMPARE_WITH_TIMEOUT(answerer.messageTexts.size(), 1, kRunTimeoutMs);
        WaitUntilIdle();
        QVERIFY(SamePrefix(image, m_drive->LoopPath(), size));
    }

    // No message box, but the line beneath the progress bar says why, until the next Start.
    void aFailedRunSaysWhyInOneLine() {
        QREQUIRE_ROOT();
        OpenWindowOnADrive(1 * kMiB);
        ModalAnswerer answerer;

        StartCopyTo(QString::fromStdString((*m_dir / "missing" / "card.img").string()));

        WaitUntilIdle();
        QVERIFY(answerer.messageTexts.isEmpty());
        QCOMPARE(Child<QLabel>(*m_dialog, "IDC_TIME_ELAPSED")->text(), QStringLiteral("00:00"));
        auto* line = Child<QLabel>(*m_dialog, "IDC_STATUS");
        QVERIFY2(line->text().startsWith(QStringLiteral("Failed: ")) &&
                     line->text().endsWith(QStringLiteral("(No such file or directory)")),
                 qPrintable(line->text()));

        m_dialog.reset();
        m_drive.reset();
        const std::uint64_t bad = 1024 * 1024 + 3 * 512;
        const FaultyDrive worn(*m_dir, 2 * kMiB, {.badStart = bad, .badEnd = bad + 512});
        QVERIFY(worn.IsReady());
        m_dialog = std::make_unique<CImagerDlg>();
        SelectEntry(QStringLiteral("0: volume: 2 MB"));
        TypeImagePath(QString::fromStdString((*m_dir / "worn.img").string()));
        QTest::mouseClick(Start(), Qt::LeftButton);
        QCOMPARE(Child<QLabel>(*m_dialog, "IDC_STATUS")->text(), QString());
        WaitUntilIdle();
        QCOMPARE(Child<QLabel>(*m_dialog, "IDC_STATUS")->text(),
                 QStringLiteral("Failed: read error at byte 1,050,112 (Input/output error); the "
                                "image holds everything before it"));
    }

    // A card plugged in, or pulled, while the window is open: the list follows by itself.
    void theListFollowsDrivesThatComeAndGo() {
        QREQUIRE_ROOT();
        m_dialog = std::make_unique<CImagerDlg>();
        auto* list = Child<QListWidget>(*m_dialog, "IDC_DEVICE_LIST");
        const int before = list->count();
        m_drive = std::make_unique<RemovableDrive>(*m_dir, 4 * kMiB);
        QTRY_COMPARE_WITH_TIMEOUT(list->count(), before + 1, 1000);
        m_drive.reset();
        QTRY_COMPARE_WITH_TIMEOUT(list->count(), before, 1000);
    }

    void neverImagesADiskThatTookTheChosenOnesIndex() {
        QREQUIRE_ROOT();
        OpenWindowOnADrive(4 * kMiB);
        ModalAnswerer answerer;
        const auto otherBacking = *m_dir / "other.bin";
        WriteRandomFile(otherBacking, 4 * kMiB, 77);
        const LoopDevice other(otherBacking);
        SelectEntry(QString::fromStdString(EntryText()));
        // Unplugged and another disk plugged in between the refresh and Start.
        m_drive->Sysfs().Relink(
            "sdz", {.name = "sdz", .node = other.Path(), .deviceNumber = other.DeviceNumber()});
        const auto image = *m_dir / "card.img";
        TypeImagePath(QString::fromStdString(image.string()));
        QTest::mouseClick(Start(), Qt::LeftButton);

        WaitUntilIdle();
        QVERIFY(answerer.messageTexts.isEmpty());
        QVERIFY(!std::filesystem::exists(image));

        // After a refresh the list shows the new disk, and it can be imaged.
        QTest::mouseClick(Child<QPushButton>(*m_dialog, "IDC_REFRESH"), Qt::LeftButton);
        StartCopyTo(QString::fromStdString(image.string()));
        QTRY_COMPARE_WITH_TIMEOUT(answerer.messageTexts.size(), 1, kRunTimeoutMs);
        WaitUntilIdle();
        QVERIFY(SamePrefix(image, other.Path(), 4 * kMiB));
    }

    void eachEntryTellsWhichDeviceItIs() {
        QREQUIRE_ROOT();
        const std::uint64_t size = 3 * kMiB + 512;
        OpenWindowOnADrive(size);
        auto* list = Child<QListWidget>(*m_dialog, "IDC_DEVICE_LIST");
        QCOMPARE(list->count(), 1);
        const QListWidgetItem* item = list->item(0);

        QCOMPARE(item->text(), QStringLiteral("0: volume: 3 MB"));
        const QString details = item->toolTip();
        QVERIFY2(details.contains(QString::fromStdString(drive::DrivePath(0))),
                 qPrintable(details));
        QVERIFY2(details.contains(QStringLiteral("Bus: USB")), qPrintable(details));
        QVERIFY2(details.contains(QStringLiteral("Size: %1 bytes").arg(size)), qPrintable(details));
        QVERIFY2(details.contains(QStringLiteral("Not mounted")), qPrintable(details));
    }

    void theAboutBoxOpensFromTheContextMenuDuringACopy() {
        QREQUIRE_ROOT();
        const std::uint64_t size = 37 * kMiB + 512;
        OpenWindowOnADrive(size);
        ModalAnswerer answerer;
        QStringList seen;
        answerer.onMenu = [&](QMenu* menu) {
            for (QAction* action : menu->actions()) {
                seen << action->text();
                if (action->text() == QStringLiteral("&About kalvor...")) {
                    QTest::mouseClick(menu, Qt::LeftButton, {},
                                      menu->actionGeometry(action).center());
                }
            }
        };
        answerer.onAbout = [&](CAboutDlg* about) {
            seen << about->windowTitle();
            for (const QLabel* label : about->findChildren<QLabel*>()) {
                seen << label->text();
                if (!label->pixmap().isNull()) {
                    seen << QStringLiteral("icon");
                }
            }
            seen << QString::number(m_dialog->IsBusy());
            about->accept();
        };
        const auto image = *m_dir / "card.img";
        StartCopyTo(QString::fromStdString(image.string()));

        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(20, 20),
                                m_dialog->mapToGlobal(QPoint(20, 20)));
        QApplication::sendEvent(m_dialog.get(), &event);

        QVERIFY2(seen.contains(QStringLiteral("About kalvor")), qPrintable(seen.join('|')));
        QVERIFY(seen.contains(QStringLiteral("kalvor Version 1.0")));
        QVERIFY(seen.contains(QStringLiteral("icon")));
        QTRY_COMPARE_WITH_TIMEOUT(answerer.messageTexts.size(), 1, kRunTimeoutMs);
        WaitUntilIdle();
        QVERIFY(SamePrefix(image, m_drive->LoopPath(), size));
    }

    void selectAsksBeforeAnExistingFileIsChosen() {
        CImagerDlg dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        ModalAnswerer answerer;
        const QString fresh = QString::fromStdString((*m_dir / "fresh.img").string());
        const QString existing = QString::fromStdString((*m_dir / "old.img").string());
        QFile(existing).open(QIODevice::WriteOnly);
        auto* path = Child<QLineEdit>(dialog, "IDC_IMAGE_PATH");
        auto* select = Child<QPushButton>(dialog, "IDC_SELECT");
        QString chosen;
        answerer.onChooser = [&](QFileDialog* chooser) {
            auto* name = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            QVERIFY(name != nullptr);
            name->setText(chosen);
            QTest::keyClick(name, Qt::Key_Return);
            if (chooser->isVisible()) {
                chooser->reject();  // the replace question was answered No
            }
        };

        chosen = fresh;
        QTest::mouseClick(select, Qt::LeftButton);
        QCOMPARE(path->text(), fresh);
        QVERIFY(answerer.messageTexts.isEmpty());

        chosen = existing;
        answerer.questionAnswer = QMessageBox::No;
        QTest::mouseClick(select, Qt::LeftButton);
        QCOMPARE(answerer.messageTexts.size(), 1);
        QCOMPARE(path->text(), fresh);

        answerer.questionAnswer = QMessageBox::Yes;
        QTest::mouseClick(select, Qt::LeftButton);
        QCOMPARE(answerer.messageTexts.size(), 2);
        QCOMPARE(path->text(), existing);
    }
};

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    ImagerDlgTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "imager_dlg_test.moc"
