#include "folder_image_names.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "image/image_format.h"
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

// Anything at all by that name, a link that leads nowhere too; a name the file system cannot
// tell about counts as taken.
bool Occupied(const fs::path& path) {
    std::error_code error;
    const fs::file_status status = fs::symlink_status(path, error);
    return status.type() != fs::file_type::not_found;
}

// Taken by a file or a side file that an image of that name would write, or by an earlier
// card's image, in any case of letters: some file systems do not tell them apart.
bool NameTaken(const fs::path& image, const std::vector<std::string>& given) {
    const auto lower = [](std::string text) {
        for (char& c : text) {
            c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        }
        return text;
    };
    return Occupied(image) ||
           std::any_of(imaging::kSideSuffixes.begin(), imaging::kSideSuffixes.end(),
                       [&](const char* suffix) { return Occupied(image.string() + suffix); }) ||
           std::any_of(given.begin(), given.end(), [&](const std::string& earlier) {
               return lower(earlier) == lower(image.string());
           });
}

// The extension of an image's name that says its form: a raw image's own (".img", ".bin",
// ".raw", ".dd", ".iso"), compressed (".zst", ".gz") or both (".img.zst"); none for any other.
std::optional<std::string> ImageExtension(const std::string& name) {
    static constexpr std::array<const char*, 5> kRaw = {".img", ".bin", ".raw", ".dd", ".iso"};
    static constexpr std::array<const char*, 2> kCompressed = {".zst", ".gz"};
    const auto ending = [&](const std::string& stem, const auto& choices) -> std::string {
        for (const char* choice : choices) {
            if (imaging::NameEndsWith(stem, choice) && stem.size() > std::strlen(choice)) {
                return stem.substr(stem.size() - std::strlen(choice));
            }
        }
        return {};
    };
    const std::string compressed = ending(name, kCompressed);
    const std::string raw = ending(name.substr(0, name.size() - compressed.size()), kRaw);
    if (compressed.empty() && raw.empty()) {
        return std::nullopt;
    }
    return raw + compressed;
}

}  // namespace

std::optional<std::vector<std::string>> ImagePathsInFolder(const std::string& target,
                                                           const std::vector<drive::Drive>& cards) {
    std::error_code error;
    fs::path folder(target);
    std::string extension = ".img";
    if (!fs::is_directory(folder, error)) {
        const auto named = ImageExtension(folder.filename().string());
        if (!named) {
            return std::nullopt;
        }
        extension = *named;
        folder = folder.parent_path();
        if (!fs::is_directory(folder.empty() ? fs::path(".") : folder, error)) {
            return std::nullopt;
        }
    }
    std::vector<std::string> paths;
    for (const drive::Drive& card : cards) {
        const std::string base = BaseName(card);
        fs::path image = folder / (base + extension);
        for (int number = 2; NameTaken(image, paths); ++number) {
            image = folder / (base + "-" + std::to_string(number) + extension);
        }
        paths.push_back(image.string());
    }
    return paths;
}

}  // namespace ui
