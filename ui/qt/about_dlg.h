#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class AboutDialog;
}

// The About box: name, version and icon of the program.
class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    // The menu entry that opens it.
    static constexpr const char* kMenuText = "&About kalvor...";

    explicit CAboutDlg(QWidget* parent = nullptr);
    ~CAboutDlg() override;
    CAboutDlg(const CAboutDlg&) = delete;
    CAboutDlg& operator=(const CAboutDlg&) = delete;

private:
    std::unique_ptr<Ui::AboutDialog> m_form;
};
