#include "folder_image_names.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "image/side_suffixes.h"

namespace ui {
namespace {

namespace fs = std::filesystem;

// Letters, digits, '.', '-' and '_' pass; anything else, a separator or a character some file
// system refuses, becomes '_'. Leading dots would hide the file.
std::string FileNamePart(const std::string& text) {
    std::string part = drive::Trimmed(text);
    for (char& c : part) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        c = plain ? c : '_';
    }
    part.erase(0, part.find_first_not_of('.'));
    return part;
}

// The node's last name, "sdb" or "PhysicalDrive2", where the card has no serial.
std::string NodeName(const std::string& node) {
    return node.substr(node.find_last_of("/\\") + 1);
}

std::string BaseName(const drive::Drive& card) {
    std::string model = FileNamePart(card.vendor + " " + card.model);
    std::string serial = FileNamePart(card.serial);
    return (model.empty() ? "card" : model) + "-" +
           (serial.empty() ? FileNamePart(NodeName(card.node)) : serial);
}

// Taken by a file or a side file that an image of that name would write.
bool NameTaken(const fs::path& image) {
    std::error_code error;
    return fs::exists(image, error) ||
           std::any_of(imaging::kSideSuffixes.begin(), imaging::kSideSuffixes.end(),
                       [&](const char* suffix) {
                           return fs::exists(fs::path(image.string() + suffix), error);
                       });
}

}  // namespace

std::optional<std::vector<std::string>> ImagePathsInFolder(const std::string& target,
                                                           const std::vector<drive::Drive>& cards) {
    std::error_code error;
    fs::path folder(target);
    std::string extension = ".img";
    if (!fs::is_directory(folder, error)) {
        const std::string name = folder.filename().string();
        const std::size_t dot = name.find('.', 1);
        if (dot == std::string::npos) {
            return std::nullopt;
        }
        extension = name.substr(dot);
        folder = folder.parent_path();
        if (!fs::is_directory(folder.empty() ? fs::path(".") : folder, error)) {
            return std::nullopt;
        }
    }
    std::vector<std::string> paths;
    for (const drive::Drive& card : cards) {
        const std::string base = BaseName(card);
        fs::path image = folder / (base + extension);
        for (int number = 2; NameTaken(image) ||
                             std::find(paths.begin(), paths.end(), image.string()) != paths.end();
             ++number) {
            image = folder / (base + "-" + std::to_string(number) + extension);
        }
        paths.push_back(image.string());
    }
    return paths;
}

}  // namespace ui
