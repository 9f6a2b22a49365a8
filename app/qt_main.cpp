#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstdlib>

#include "command_line.h"
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
    const cli::CommandLine line = cli::ParseCommandLine({argv + 1, argv + argc});
    if (line.action != cli::CommandLine::Action::Window) {
        return cli::RunCommandLine(line, stdin, stdout, stderr);
    }
    // Without a display there is no window to open: the command line is all there is.
    if (!HasDisplay()) {
        cli::PrintUsage(stdout);
        std::printf(
            "\nThe window needs a display: run kalvor in a desktop session, or under a "
            "virtual one: xvfb-run -a %s\n",
            argv[0]);
        return 0;
    }
    QApplication application(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/kalvor/kalvor-32.png")));
    theApp.InitInstance();
    return 0;
}
