#pragma once

#include <windows.h>

// The About box, on the IDD_ABOUTBOX template: it ends with OK, Esc or its close box.
class CAboutDlg {
public:
    explicit CAboutDlg(HWND parent) : m_parent(parent) {}
    INT_PTR DoModal();

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    HWND m_parent;
};
