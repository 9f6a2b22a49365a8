#include <algorithm>
#include <sstream>

#include "image/image_file.h"

namespace imaging {

// sha256sum marks a line whose name holds a backslash or a newline with a leading backslash
// and escapes both, so every name reads back as it is.
std::string ChecksumLine(const std::string& hexDigest, const std::string& name) {
    std::string escaped;
    bool marked = false;
    for (const char c : name) {
        if (c == '\\' || c == '\n') {
            escaped += c == '\\' ? "\\\\" : "\\n";
            marked = true;
        } else {
            escaped += c;
        }
    }
    return (marked ? "\\" : "") + hexDigest + "  " + escaped + "\n";
}

std::string ChecksumFile(const std::string& fileHex, const std::string& name,
                         const std::string& driveHex, std::uint64_t driveBytes) {
    return ChecksumLine(fileHex, name) + "# drive: " + driveHex + " " + std::to_string(driveBytes) +
           " bytes\n";
}

std::string PartitionsOnlyLine(const std::string& table, std::uint64_t imaged) {
    return "# partitions only (" + table +
           "), the drive line covers the bytes as imaged: restorable to a drive of at least " +
           std::to_string(imaged) + " bytes\n";
}

bool ReadFileLine(const std::string& checksumFile, std::string& fileHex) {
    std::istringstream lines(checksumFile);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        // A name with a backslash or newline marks its line with a leading backslash.
        const std::size_t start = line[0] == '\\' ? 1 : 0;
        fileHex = line.substr(start, 64);
        std::transform(fileHex.begin(), fileHex.end(), fileHex.begin(), [](char c) {
            return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
        });
        return fileHex.size() == 64 && line.size() > start + 65 &&
               fileHex.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos &&
               line[start + 64] == ' ';
    }
    return false;
}

bool ReadDriveLine(const std::string& checksumFile, std::string& driveHex,
                   std::uint64_t& driveBytes) {
    std::istringstream lines(checksumFile);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string mark;
        std::string label;
        std::string unit;
        if (words >> mark >> label >> driveHex >> driveBytes >> unit && mark == "#" &&
            label == "drive:" && unit == "bytes" && driveHex.size() == 64) {
            return true;
        }
    }
    return false;
}

}  // namespace imaging
