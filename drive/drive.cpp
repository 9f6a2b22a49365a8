#include "drive.h"

#include <cstdio>

namespace drive {
namespace {

void AppendWord(std::string& text, const std::string& word, const char* separator = " ") {
    if (!word.empty()) {
        text += (text.empty() ? "" : separator) + word;
    }
}

std::string VendorAndModel(const Drive& drive) {
    std::string name;
    AppendWord(name, drive.vendor);
    AppendWord(name, drive.model);
    return name;
}

std::string DescribeVolume(const Volume& volume) {
    std::string line = volume.node;
    AppendWord(line, volume.fileSystem, ": ");
    if (!volume.label.empty()) {
        line += " \"" + volume.label + "\"";
    }
    line += volume.mountPoint.empty() ? ", not mounted" : " at " + volume.mountPoint;
    return line;
}

}  // namespace

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

std::string DecimalGigabytes(std::uint64_t bytes) {
    char text[32];
    // Under 0.1 GB a card would read "0.0 GB": it is told in MB.
    if (bytes < 100'000'000) {
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    } else {
        std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / 1e9);
    }
    return text;
}

std::string FormatDriveDetails(const Drive& drive) {
    std::string details = drive.node;
    std::string name = VendorAndModel(drive);
    if (!drive.serial.empty()) {
        AppendWord(name, "serial " + drive.serial, ", ");
    }
    if (!drive.revision.empty()) {
        AppendWord(name, "revision " + drive.revision, ", ");
    }
    AppendWord(details, name, "\n");
    if (!drive.bus.empty()) {
        details += "\nBus: " + drive.bus + (drive.port.empty() ? "" : ", port " + drive.port);
    }
    if (drive.length != 0) {
        details += "\nSize: " + std::to_string(drive.length) + " bytes (" +
                   DecimalGigabytes(drive.length) + ")";
        if (drive.logicalSectorSize != 0) {
            details += ", sectors of " + std::to_string(drive.logicalSectorSize) + " bytes";
        }
    }
    if (drive.readOnly) {
        details += "\nWrite-protected (lock switch)";
    }
    bool mounted = false;
    for (const Volume& volume : drive.volumes) {
        details += "\n" + DescribeVolume(volume);
        mounted = mounted || !volume.mountPoint.empty();
    }
    if (drive.volumesKnown && !mounted) {
        details += "\nNot mounted";
    }
    return details;
}

}  // namespace drive
