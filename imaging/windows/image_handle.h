#pragma once

#include <windows.h>

#include <string>

#include "scoped_handle.h"

namespace imaging {

struct WinHandleTraits {
    using Handle = HANDLE;
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) { ::CloseHandle(handle); }
};

// An open, unshared handle of a file on a disk volume.
using ImageHandle = drive::ScopedHandle<WinHandleTraits>;

struct FolderState {
    std::string path;  // with its trailing separator, or empty for the current folder
};

}  // namespace imaging
