#pragma once

// The one application object. Its whole user interface is the main window, run modally; the
// program ends when that window closes.
class CImagerApp {
public:
    // Runs the main window until it ends. Returns false: there is nothing to run afterwards.
    bool InitInstance();
};

extern CImagerApp theApp;
