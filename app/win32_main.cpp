// The other Windows headers need windows.h before them.
#include <windows.h>

#include <commctrl.h>

#include "imager_app.h"
#include "imager_dlg.h"

CImagerApp theApp;

bool CImagerApp::InitInstance() {
    CImagerDlg dialog;
    dialog.DoModal();
    return false;
}

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
    // No critical-error box of the platform's own, for instance for a card reader without a card.
    ::SetErrorMode(::SetErrorMode(0) | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    const INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);
    theApp.InitInstance();
    return 0;
}
