#include "first_arrow_selects.h"

#include <QKeyEvent>
#include <QListWidget>

FirstArrowSelects::FirstArrowSelects(QListWidget* list) : QObject(list), m_list(list) {
    list->installEventFilter(this);
}

bool FirstArrowSelects::eventFilter(QObject* watched, QEvent* event) {
    if (watched != m_list || event->type() != QEvent::KeyPress || m_list->count() == 0 ||
        !m_list->selectedItems().isEmpty()) {
        return false;
    }
    switch (static_cast<QKeyEvent*>(event)->key()) {
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_Home:
        case Qt::Key_End:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
            m_list->setCurrentRow(0, QItemSelectionModel::ClearAndSelect);
            return true;
        default:
            return false;
    }
}
