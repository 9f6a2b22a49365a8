#include "restore/published_checksum.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <sstream>
#include <vector>

#include "image/target_folder.h"

namespace imaging {

namespace fs = std::filesystem;

namespace {

// Beside the image, or beside what it decodes to, by these suffixes in this order.
constexpr const char* kSuffixes[] = {".sha256", ".sha256sum", ".sha", ".sha1", ".md5"};
// In its folder, the lists that name many files.
constexpr const char* kLists[] = {"SHA256SUMS", "SHA256SUMS.txt", "sha256sum.txt"};
// A list of a whole release's files is still short.
constexpr std::uint64_t kLongestList = 1 << 20;

std::optional<HashKind> KindOfLength(std::size_t digits) {
    switch (digits) {
        case 64:
            return HashKind::Sha256;
        case 40:
            return HashKind::Sha1;
        case 32:
            return HashKind::Md5;
        default:
            return std::nullopt;
    }
}

std::string Lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
    return text;
}

struct Line {
    std::string hex;
    std::string name;  // empty where the line gives none
};

// The lines of a checksum file as sha256sum writes them: "HEX  NAME" or "HEX *NAME", or a bare
// "HEX"; comments and anything else are left out.
std::vector<Line> Lines(const std::string& text) {
    std::vector<Line> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::size_t end = line.find_first_not_of("0123456789abcdefABCDEF");
        const std::string hex = line.substr(0, end);
        if (!KindOfLength(hex.size()) || (end != std::string::npos && line[end] != ' ')) {
            continue;
        }
        std::string name = end == std::string::npos ? std::string() : line.substr(end + 1);
        if (!name.empty() && (name[0] == ' ' || name[0] == '*')) {
            name.erase(0, 1);
        }
        lines.push_back({Lowercase(hex), fs::path(name).filename().string()});
    }
    return lines;
}

// What a checksum file's one line covers where it does not name the image nor its content:
// nothing (a list), the file (IMAGE.sha256 beside IMAGE, whatever name its line keeps from
// before the image was renamed), or the content (beside what the image decodes to).
enum class LoneLine { Nothing, File, Content };

// The checksum `text` (the file `source`) gives for the image named `file`, which decodes to
// `content`.
std::optional<PublishedChecksum> FromText(const std::string& text, const std::string& source,
                                          const std::string& file, const std::string& content,
                                          LoneLine lone) {
    const std::vector<Line> lines = Lines(text);
    for (const Line& line : lines) {
        const bool ofFile = line.name == file;
        const bool ofContent = !content.empty() && line.name == content;
        const bool bare = lines.size() == 1 && lone != LoneLine::Nothing &&
                          (line.name.empty() || lone == LoneLine::File);
        if (ofFile || ofContent || bare) {
            return PublishedChecksum{*KindOfLength(line.hex.size()), line.hex, source,
                                     ofContent || (!ofFile && bare && lone == LoneLine::Content)};
        }
    }
    return std::nullopt;
}

std::optional<PublishedChecksum> FromFile(const fs::path& path, std::uint64_t limit,
                                          const std::string& file, const std::string& content,
                                          LoneLine lone) {
    std::string text;
    if (ReadSideFile(path, limit, text) || text.empty()) {
        return std::nullopt;
    }
    return FromText(text, path.filename().string(), file, content, lone);
}

}  // namespace

std::optional<PublishedChecksum> FindPublishedChecksum(const std::string& path,
                                                       const std::string& expectedSha256) {
    if (!expectedSha256.empty()) {
        return PublishedChecksum{HashKind::Sha256, Lowercase(expectedSha256), "--expect-sha256",
                                 false};
    }
    const fs::path image(path);
    const std::string file = image.filename().string();
    const fs::path stem = image.parent_path() / image.stem();
    const std::string content = image.has_extension() ? image.stem().string() : std::string();
    for (const char* suffix : kSuffixes) {
        if (auto found = FromFile(path + suffix, kLongestList, file, content, LoneLine::File)) {
            return found;
        }
    }
    if (!content.empty()) {
        for (const char* suffix : kSuffixes) {
            if (auto found = FromFile(stem.string() + suffix, kLongestList, file, content,
                                      LoneLine::Content)) {
                return found;
            }
        }
    }
    for (const char* list : kLists) {
        if (auto found = FromFile(image.parent_path() / list, kLongestList, file, content,
                                  LoneLine::Nothing)) {
            return found;
        }
    }
    return std::nullopt;
}

const char* ChecksumName(HashKind kind) {
    switch (kind) {
        case HashKind::Md5:
            return "MD5";
        case HashKind::Sha1:
            return "SHA-1";
        case HashKind::Sha256:
            return "SHA-256";
    }
    return "SHA-256";
}

std::string DescribeChecksum(const PublishedChecksum& checksum) {
    return std::string("the ") + ChecksumName(checksum.kind) +
           (checksum.source == "--expect-sha256" ? " given by --expect-sha256"
                                                 : " in " + checksum.source) +
           (checksum.ofContent ? ", of the image it decodes to" : ", of the file as downloaded");
}

}  // namespace imaging
