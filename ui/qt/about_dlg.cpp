#include "about_dlg.h"

#include "ui_about_dlg.h"

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent), m_form(std::make_unique<Ui::AboutDialog>()) {
    m_form->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(size());
}

CAboutDlg::~CAboutDlg() = default;
