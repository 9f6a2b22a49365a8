#include "imager_dlg.h"

#include "first_arrow_selects.h"

// The generated form names its widgets after their control identifiers, so it must come before
// the identifiers' macros.
#include "ui_imager_dlg.h"

#include <QCheckBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QRadioButton>
#include <QSocketNotifier>
#include <QTableWidget>
#include <QTimer>
#include <QTimerEvent>

#include "about_dlg.h"
#include "image_file_filters.h"
#include "resource_ids.h"
#include "write_confirm_dialog.h"

namespace {

constexpr int kTimerPeriodMs = 1000;

// A card's partitions are announced one after another just after the card itself.
constexpr int kRefreshDelayMs = 400;

// A card row's bar, beside the card's name, its speed and its state.
constexpr int kRowBarWidth = 80;

QString FromLocal(const std::string& text) {
    return QString::fromLocal8Bit(text);
}

// Controls are bound by their identifier, the form's object name.
template <typename Control>
Control* Bind(QWidget* dialog, const char* identifier) {
    return dialog->findChild<Control*>(QLatin1String(identifier));
}

}  // namespace

CImagerDlg::CImagerDlg(QWidget* parent)
    : QDialog(parent),
      m_form(std::make_unique<Ui::ImagerDialog>()),
      m_hIcon(QStringLiteral(":/kalvor/kalvor-32.png")),
      m_logic(*this, m_clock, m_run) {
    m_form->setupUi(this);
    DoDataExchange();
    new FirstArrowSelects(m_deviceList);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(size());
    connect(Bind<QPushButton>(this, "IDC_SELECT"), &QPushButton::clicked, this,
            &CImagerDlg::OnSelect);
    connect(Bind<QPushButton>(this, "IDC_REFRESH"), &QPushButton::clicked, this,
            &CImagerDlg::OnRefresh);
    connect(m_btnStart, &QPushButton::clicked, this, &CImagerDlg::OnStart);
    connect(m_btnExit, &QPushButton::clicked, this, &CImagerDlg::OnExit);
    connect(m_writeMode, &QRadioButton::toggled, this, [this] { m_logic.OnDirectionChanged(); });
    connect(m_deviceList, &QListWidget::itemSelectionChanged, this,
            [this] { m_logic.OnSelectionChanged(); });
    m_refreshDelay = new QTimer(this);
    m_refreshDelay->setSingleShot(true);
    m_refreshDelay->setInterval(kRefreshDelayMs);
    connect(m_refreshDelay, &QTimer::timeout, this, [this] { m_logic.OnRefreshDelayOver(); });
    if (m_driveEvents.IsValid()) {
        m_driveEventNotifier =
            new QSocketNotifier(m_driveEvents.Descriptor(), QSocketNotifier::Read, this);
        connect(m_driveEventNotifier, &QSocketNotifier::activated, this, [this] {
            if (m_driveEvents.DrainBlockEvents()) {
                m_logic.OnDrivesChanged();
            }
        });
    }
    OnInitDialog();
}

CImagerDlg::~CImagerDlg() = default;

void CImagerDlg::DoDataExchange() {
    m_btnExit = Bind<QPushButton>(this, "IDCANCEL");
    m_btnStart = Bind<QPushButton>(this, "IDOK");
    m_progress = Bind<QProgressBar>(this, "IDC_PROGRESS");
    m_percent = Bind<QLabel>(this, "IDC_PERCENT");
    m_totalTime = Bind<QLabel>(this, "IDC_TOTAL_TIME");
    m_timeRemaining = Bind<QLabel>(this, "IDC_TIME_REMAINING");
    m_speed = Bind<QLabel>(this, "IDC_SPEED");
    m_timeElapsed = Bind<QLabel>(this, "IDC_TIME_ELAPSED");
    m_imagePath = Bind<QLineEdit>(this, "IDC_IMAGE_PATH");
    m_deviceList = Bind<QListWidget>(this, "IDC_DEVICE_LIST");
    m_partitionsOnly = Bind<QCheckBox>(this, "IDC_PARTITIONS_ONLY");
    m_verify = Bind<QCheckBox>(this, "IDC_VERIFY");
    m_status = Bind<QLabel>(this, "IDC_STATUS");
    m_readMode = Bind<QRadioButton>(this, "IDC_READ_MODE");
    m_writeMode = Bind<QRadioButton>(this, "IDC_WRITE_MODE");
    m_pathLabel = Bind<QLabel>(this, "IDC_PATH_LABEL");
    m_cardRows = Bind<QTableWidget>(this, "IDC_CARD_ROWS");
    m_cardRows->setHorizontalHeaderLabels({QStringLiteral("Card"), QStringLiteral("Progress"),
                                           QStringLiteral("Speed"), QStringLiteral("State")});
    m_cardRows->verticalHeader()->hide();
    m_cardRows->setWordWrap(false);
    m_cardRows->setTextElideMode(Qt::ElideMiddle);
    QHeaderView* columns = m_cardRows->horizontalHeader();
    columns->setSectionResizeMode(0, QHeaderView::Stretch);
    columns->setSectionResizeMode(1, QHeaderView::Fixed);
    columns->resizeSection(1, kRowBarWidth);
    columns->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    columns->setSectionResizeMode(3, QHeaderView::Stretch);
    m_singleProgress = {m_progress,
                        m_percent,
                        m_totalTime,
                        m_timeRemaining,
                        m_speed,
                        m_timeElapsed,
                        Bind<QLabel>(this, "labelTimeElapsed"),
                        Bind<QLabel>(this, "labelTimeRemained"),
                        Bind<QLabel>(this, "labelTotalTime"),
                        Bind<QLabel>(this, "labelSpeed")};
}

void CImagerDlg::OnInitDialog() {
    setWindowIcon(m_hIcon);
    m_logic.OnInitDialog();
    m_btnStart->setFocus();
}

void CImagerDlg::reject() {
    OnExit();
}

void CImagerDlg::OnExit() {
    m_logic.OnExit();
}

void CImagerDlg::OnStart() {
    m_logic.OnStart();
}

void CImagerDlg::OnRefresh() {
    m_logic.OnRefresh();
}

// Reading, a save-style chooser: it asks before an existing file is chosen, since Start then
// replaces it. Writing, an open-style one: the image must exist, and nothing is replaced.
void CImagerDlg::OnSelect() {
    QFileDialog chooser(this);
    const bool writing = m_logic.WritesToCard();
    chooser.setAcceptMode(writing ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    chooser.setFileMode(writing ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    chooser.setOption(QFileDialog::DontConfirmOverwrite, m_logic.ReadsIntoFolder());
    QStringList filters;
    if (writing) {
        for (const ui::ImageFileFilter& filter : ui::kSourceImageFilters) {
            filters << QString::fromLatin1(filter.label);
        }
    } else {
        for (const ui::ImageFileFilter& filter : ui::kImageFileFilters) {
            filters << QString::fromLatin1(filter.label);
        }
    }
    chooser.setNameFilters(filters);
    connect(&chooser, &QFileDialog::filterSelected, &chooser, [&chooser](const QString& chosen) {
        for (const ui::ImageFileFilter& filter : ui::kImageFileFilters) {
            if (chosen == QLatin1String(filter.label)) {
                chooser.setDefaultSuffix(QString::fromLatin1(filter.suffix));
            }
        }
    });
    if (chooser.exec() == QDialog::Accepted && !chooser.selectedFiles().isEmpty()) {
        m_imagePath->setText(chooser.selectedFiles().constFirst());
    }
}

void CImagerDlg::timerEvent(QTimerEvent* event) {
    if (event->timerId() == m_timerId) {
        m_logic.OnTimer();
    } else {
        QDialog::timerEvent(event);
    }
}

// Desktops on Linux give the window no menu of the program's own, so the About entry lives in
// the window's context menu.
void CImagerDlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addAction(QString::fromLatin1(CAboutDlg::kMenuText), this, &CImagerDlg::OnAboutBox);
    menu.exec(event->globalPos());
}

void CImagerDlg::OnAboutBox() {
    CAboutDlg about(this);
    about.exec();
}

void CImagerDlg::ResetDeviceList() {
    m_deviceList->clear();
}

void CImagerDlg::AddDeviceEntry(const std::string& text, const std::string& details) {
    auto* item = new QListWidgetItem(FromLocal(text));
    item->setToolTip(FromLocal(details));
    m_deviceList->addItem(item);
}

std::vector<std::string> CImagerDlg::SelectedDeviceEntries() const {
    std::vector<std::string> texts;
    for (int row = 0; row < m_deviceList->count(); ++row) {
        const QListWidgetItem* item = m_deviceList->item(row);
        if (item->isSelected()) {
            texts.push_back(item->text().toLocal8Bit().toStdString());
        }
    }
    return texts;
}

void CImagerDlg::SelectDeviceEntries(const std::vector<std::string>& texts) {
    m_deviceList->clearSelection();
    bool first = true;
    for (const std::string& text : texts) {
        for (QListWidgetItem* item : m_deviceList->findItems(FromLocal(text), Qt::MatchExactly)) {
            if (first) {
                m_deviceList->setCurrentItem(item);
                first = false;
            }
            item->setSelected(true);
        }
    }
}

bool CImagerDlg::IsControlChecked(int controlId) const {
    switch (controlId) {
        case IDC_PARTITIONS_ONLY:
            return m_partitionsOnly->isChecked();
        case IDC_VERIFY:
            return m_verify->isChecked();
        case IDC_READ_MODE:
            return m_readMode->isChecked();
        case IDC_WRITE_MODE:
            return m_writeMode->isChecked();
        default:
            return false;
    }
}

void CImagerDlg::SetControlChecked(int controlId, bool checked) {
    if (controlId == IDC_PARTITIONS_ONLY) {
        m_partitionsOnly->setChecked(checked);
    } else if (controlId == IDC_VERIFY) {
        m_verify->setChecked(checked);
    }
}

void CImagerDlg::ClearDeviceSelection() {
    m_deviceList->clearSelection();
    m_deviceList->setCurrentItem(nullptr);
}

bool CImagerDlg::ConfirmWrite(const std::string& text) {
    WriteConfirmDialog box(FromLocal(text), m_clock, this);
    return box.exec() == QDialog::Accepted;
}

std::string CImagerDlg::ImagePathText() const {
    return QFile::encodeName(m_imagePath->text()).toStdString();
}

void CImagerDlg::SetControlText(int controlId, const std::string& text) {
    const QString value = FromLocal(text);
    switch (controlId) {
        case IDCANCEL:
            m_btnExit->setText(value);
            break;
        case IDOK:
            m_btnStart->setText(value);
            break;
        case IDC_TIME_ELAPSED:
            m_timeElapsed->setText(value);
            break;
        case IDC_TIME_REMAINING:
            m_timeRemaining->setText(value);
            break;
        case IDC_TOTAL_TIME:
            m_totalTime->setText(value);
            break;
        case IDC_SPEED:
            m_speed->setText(value);
            break;
        case IDC_PERCENT:
            m_percent->setText(value);
            break;
        case IDC_PATH_LABEL:
            m_pathLabel->setText(value);
            break;
        case IDC_VERIFY:
            m_verify->setText(value);
            break;
        case IDC_STATUS:
            // A long image path may not fit the line's two rows; the tooltip holds it whole.
            m_status->setText(value);
            m_status->setToolTip(value);
            break;
        default:
            break;
    }
}

void CImagerDlg::EnableControl(int controlId, bool enabled) {
    switch (controlId) {
        case IDOK:
            m_btnStart->setEnabled(enabled);
            break;
        case IDCANCEL:
            m_btnExit->setEnabled(enabled);
            break;
        case IDC_PARTITIONS_ONLY:
            m_partitionsOnly->setEnabled(enabled);
            break;
        case IDC_VERIFY:
            m_verify->setEnabled(enabled);
            break;
        case IDC_READ_MODE:
            m_readMode->setEnabled(enabled);
            break;
        case IDC_WRITE_MODE:
            m_writeMode->setEnabled(enabled);
            break;
        default:
            break;
    }
}

void CImagerDlg::SetProgressPosition(int percent) {
    m_progress->setValue(percent);
}

void CImagerDlg::ShowCardRows(const std::vector<std::string>& names) {
    m_cardRows->setRowCount(static_cast<int>(names.size()));
    for (int row = 0; row < m_cardRows->rowCount(); ++row) {
        m_cardRows->setItem(row, 0, new QTableWidgetItem(FromLocal(names[row])));
        auto* bar = new QProgressBar;
        bar->setRange(0, 100);
        m_cardRows->setCellWidget(row, 1, bar);
        m_cardRows->setItem(row, 2, new QTableWidgetItem);
        m_cardRows->setItem(row, 3, new QTableWidgetItem);
    }
    m_cardRows->setVisible(!names.empty());
    for (QWidget* widget : m_singleProgress) {
        widget->setVisible(names.empty());
    }
}

void CImagerDlg::SetCardRow(std::size_t row, int percent, const std::string& speed,
                            const std::string& state) {
    const int at = static_cast<int>(row);
    static_cast<QProgressBar*>(m_cardRows->cellWidget(at, 1))->setValue(percent);
    m_cardRows->item(at, 2)->setText(FromLocal(speed));
    m_cardRows->item(at, 3)->setText(FromLocal(state));
    m_cardRows->item(at, 3)->setToolTip(FromLocal(state));
}

void CImagerDlg::StartTimer() {
    m_timerId = startTimer(kTimerPeriodMs);
}

void CImagerDlg::StopTimer() {
    if (m_timerId != 0) {
        killTimer(m_timerId);
        m_timerId = 0;
    }
}

void CImagerDlg::StartRefreshDelay() {
    m_refreshDelay->start();
}

void CImagerDlg::ShowSuccessMessage(const std::string& text) {
    const QString caption = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    QMessageBox message(QMessageBox::NoIcon, caption, FromLocal(text), QMessageBox::Ok, this);
    message.exec();
}

void CImagerDlg::EndDialog(int result) {
    done(result);
}
