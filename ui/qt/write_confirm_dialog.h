#pragma once

#include <QDialog>

#include "clock.h"

class QPushButton;

// The write confirmation: "Write to card", a warning, the cards' descriptions and what will
// happen to them, "&Write" and "Cancel". Cancel is the default, so Enter cancels as Esc does;
// Write takes a click or its mnemonic, and only once the box has been open long enough. The
// text scrolls where it would not fit the screen, as the descriptions of a batch of cards would
// not, so the buttons are always in view.
class WriteConfirmDialog : public QDialog {
    Q_OBJECT

public:
    WriteConfirmDialog(const QString& text, const ui::Clock& clock, QWidget* parent);

private:
    QPushButton* m_write = nullptr;
};
