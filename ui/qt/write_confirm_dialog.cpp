#include "write_confirm_dialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "write_confirmation.h"

namespace {

// How often the box looks whether its Write may accept yet.
constexpr int kGuardPollMs = 200;

// The text's width, and at most this share of the screen's height for it.
constexpr int kTextWidth = 520;
constexpr double kTextScreenShare = 0.6;

}  // namespace

WriteConfirmDialog::WriteConfirmDialog(const QString& text, const ui::Clock& clock, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("IDD_CONFIRM_WRITE"));
    setWindowTitle(QString::fromLatin1(ui::kConfirmTitle));
    auto* icon = new QLabel;
    const int iconSize = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    icon->setPixmap(style()
                        ->standardIcon(QStyle::SP_MessageBoxWarning, nullptr, this)
                        .pixmap(iconSize, iconSize));
    icon->setAlignment(Qt::AlignTop);
    auto* shown = new QPlainTextEdit(text);
    shown->setObjectName(QStringLiteral("IDC_CONFIRM_TEXT"));
    shown->setReadOnly(true);
    shown->setFrameShape(QFrame::NoFrame);
    shown->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    shown->viewport()->setAutoFillBackground(false);
    shown->setFixedWidth(kTextWidth);
    const int lines = static_cast<int>(text.count(QLatin1Char('\n'))) + 2;
    const QScreen* screen = parent != nullptr ? parent->screen() : nullptr;
    const int room = screen != nullptr
                         ? static_cast<int>(screen->availableGeometry().height() * kTextScreenShare)
                         : 400;
    shown->setFixedHeight(
        std::min(room, lines * shown->fontMetrics().lineSpacing() +
                           2 * static_cast<int>(shown->document()->documentMargin())));
    auto* buttons = new QDialogButtonBox;
    m_write = buttons->addButton(QStringLiteral("&Write"), QDialogButtonBox::AcceptRole);
    m_write->setObjectName(QStringLiteral("IDOK"));
    m_write->setAutoDefault(false);
    m_write->setEnabled(false);
    QPushButton* cancel = buttons->addButton(QDialogButtonBox::Cancel);
    cancel->setObjectName(QStringLiteral("IDCANCEL"));
    cancel->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* top = new QHBoxLayout;
    top->addWidget(icon);
    top->addWidget(shown);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    cancel->setFocus();
    const std::int64_t opened = clock.Now();
    auto* guard = new QTimer(this);
    connect(guard, &QTimer::timeout, this, [this, &clock, opened] {
        m_write->setEnabled(ui::WriteMayBeAccepted(opened, clock.Now()));
    });
    guard->start(kGuardPollMs);
}
