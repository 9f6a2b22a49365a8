// The other Windows headers need windows.h before them.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>

#include "command_line.h"
#include "imager_app.h"
#include "imager_dlg.h"

CImagerApp theApp;

bool CImagerApp::InitInstance() {
    CImagerDlg dialog;
    dialog.DoModal();
    return false;
}

namespace {

// A window program has no console of its own: the command line writes to the console it was
// started from, if any.
void UseParentConsole() {
    if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
        std::freopen("CONOUT$", "w", stdout);
        std::freopen("CONOUT$", "w", stderr);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
    const cli::CommandLine line = cli::ParseCommandLine({__argv + 1, __argv + __argc});
    if (line.action != cli::CommandLine::Action::Window) {
        UseParentConsole();
        return cli::RunCommandLine(line, stdin, stdout, stderr);
    }
    // No critical-error box of the platform's own, for instance for a card reader without a card.
    ::SetErrorMode(::SetErrorMode(0) | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    const INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);
    theApp.InitInstance();
    return 0;
}
