#pragma once

#include <array>

namespace ui {

// The file chooser's filters, one for each image format; choosing one with a suffix names the
// format of a file typed without one.
struct ImageFileFilter {
    const char* label;
    const char* pattern;
    const char* suffix;  // "" where the chooser adds none
};

inline constexpr std::array<ImageFileFilter, 4> kImageFileFilters = {{
    {"Raw image (*.img)", "*.img", ""},
    {"zstd-compressed image (*.zst)", "*.zst", "zst"},
    {"gzip-compressed image (*.gz)", "*.gz", "gz"},
    {"All files (*.*)", "*.*", ""},
}};

}  // namespace ui
