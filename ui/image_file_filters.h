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

// Reading a card: the forms an image is written in.
inline constexpr std::array<ImageFileFilter, 4> kImageFileFilters = {{
    {"Raw image (*.img)", "*.img", ""},
    {"zstd-compressed image (*.zst)", "*.zst", "zst"},
    {"gzip-compressed image (*.gz)", "*.gz", "gz"},
    {"All files (*.*)", "*.*", ""},
}};

// Writing a card: every form an image is downloaded or kept in, which the content tells apart.
inline constexpr std::array<ImageFileFilter, 2> kSourceImageFilters = {{
    {"Disk images (*.img *.iso *.xz *.zip *.zst *.gz *.bz2 *.wic *.bin)",
     "*.img;*.iso;*.xz;*.zip;*.zst;*.gz;*.bz2;*.wic;*.bin", ""},
    {"All files (*.*)", "*.*", ""},
}};

}  // namespace ui
