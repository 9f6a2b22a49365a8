#pragma once

#include <QObject>

class QListWidget;

// Makes a list that has nothing selected take the first arrow key as a choice of its first
// entry, as a platform list box does. Without it Qt moves on from the current row, which is
// already the first entry: with one card listed the key selects nothing, with two the second.
class FirstArrowSelects : public QObject {
    Q_OBJECT

public:
    explicit FirstArrowSelects(QListWidget* list);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QListWidget* m_list;
};
