#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstdlib>

#include "imager_app.h"
#include "imager_dlg.h"

CImagerApp theApp;

bool CImagerApp::InitInstance() {
    CImagerDlg dialog;
    dialog.exec();
    return false;
}

namespace {

bool HasDisplay() {
    for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (!HasDisplay()) {
        std::fprintf(stderr,
                     "kalvor: no display to open its window on; run it in a desktop session, "
                     "or under a virtual one: xvfb-run -a %s\n",
                     argv[0]);
        return 1;
    }
    QApplication application(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/kalvor/kalvor-32.png")));
    theApp.InitInstance();
    return 0;
}
