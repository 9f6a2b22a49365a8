#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "scoped_handle.h"

namespace imaging {

// The image is an open handle of a file on a disk volume.
using ImageHandle = HANDLE;

inline const ImageHandle kInvalidImageHandle = INVALID_HANDLE_VALUE;

struct WinHandleTraits {
    using Handle = HANDLE;
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) { ::CloseHandle(handle); }
};
using ScopedWinHandle = drive::ScopedHandle<WinHandleTraits>;

struct ImageFileState {
    ScopedWinHandle target;  // an existing target, held unshared while a replacement is written
    ScopedWinHandle image;   // the file being written, unshared
    std::string path;
    std::string name;
    std::string partialPath;  // the replacement beside the target; empty: written in place
    // Side files written but not yet put in place: their partial and their final names.
    std::vector<std::pair<std::string, std::string>> sidePartials;
};

}  // namespace imaging
