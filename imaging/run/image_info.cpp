#include "run/image_info.h"

#include <cstdio>

#include "image/image_file.h"
#include "version.h"

namespace imaging {
namespace {

void Add(std::string& text, const char* key, const std::string& value) {
    text += key;
    text += ": ";
    // A value is one line: a file name with a newline in it must not start a key of its own.
    for (const char c : value) {
        text += c == '\n' || c == '\r' ? ' ' : c;
    }
    text += '\n';
}

std::string DriveDigest(const CopyResult& result, HashKind kind) {
    if (kind == HashKind::Sha256) {
        return result.driveSha256;
    }
    for (const NamedDigest& digest : result.extraDigests) {
        if (digest.kind == kind) {
            return digest.hex;
        }
    }
    return {};
}

std::string Imaged(const CopyResult& result) {
    if (result.partitionTable.empty()) {
        return result.wholeDriveBecause.empty() ? "whole drive"
                                                : "whole drive (" + result.wholeDriveBecause + ")";
    }
    return "partitions only (" + result.partitionTable + "), restorable to a drive of at least " +
           std::to_string(result.restorableBytes) + " bytes";
}

void AddSource(std::string& text, const drive::Drive& source) {
    Add(text, "source-node", source.node);
    Add(text, "source-vendor", source.vendor);
    Add(text, "source-model", source.model);
    Add(text, "source-serial", source.serial);
    Add(text, "source-revision", source.revision);
    Add(text, "source-bytes", std::to_string(source.length));
    const std::uint32_t sector = source.logicalSectorSize != 0 ? source.logicalSectorSize : 512;
    Add(text, "source-sectors",
        std::to_string(source.length / sector) + " of " + std::to_string(sector) + " bytes");
    Add(text, "source-sector-size",
        std::to_string(source.logicalSectorSize) + " logical, " +
            std::to_string(source.physicalSectorSize) + " physical");
    Add(text, "source-bus", source.bus);
    Add(text, "source-port", source.port);
    Add(text, "source-identity",
        "device " + std::to_string(source.identity.device) + ", sequence " +
            std::to_string(source.identity.sequence));
    Add(text, "source-read-only", source.readOnly ? "yes" : "no");
    for (const drive::Volume& volume : source.volumes) {
        Add(text, "source-volume",
            volume.node + " " + volume.fileSystem + " \"" + volume.label + "\" " +
                (volume.mountPoint.empty() ? "not mounted" : "at " + volume.mountPoint));
    }
}

}  // namespace

// Computed rather than asked of gmtime, whose one shared result two runs at once would race for:
// days since 1970-01-01 to a date in the proleptic Gregorian calendar, in 400-year eras.
std::string UtcTime(std::int64_t secondsSinceEpoch) {
    const std::int64_t days =
        (secondsSinceEpoch >= 0 ? secondsSinceEpoch : secondsSinceEpoch - 86399) / 86400;
    const std::int64_t second = secondsSinceEpoch - days * 86400;
    const std::int64_t shifted = days + 719468;  // from 0000-03-01
    const std::int64_t era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
    const std::int64_t dayOfEra = shifted - era * 146097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    const std::int64_t day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
    const std::int64_t month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
    const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[128];  // room for any 64-bit fields, which the compiler checks
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                  static_cast<long long>(year), static_cast<long long>(month),
                  static_cast<long long>(day), static_cast<long long>(second / 3600),
                  static_cast<long long>(second / 60 % 60), static_cast<long long>(second % 60));
    return text;
}

std::string ImageInfo(const std::string& name, const CopyRequest& request, const CopyResult& result,
                      const RunRecord& record) {
    std::string text = "# kalvor image record: one \"key: value\" a line\n";
    Add(text, "tool", std::string("kalvor ") + kVersion);
    Add(text, "command", request.command.empty() ? "window" : request.command);
    Add(text, "host", HostName());
    Add(text, "user", UserName());
    Add(text, "started", UtcTime(record.started));
    Add(text, "ended", UtcTime(record.ended));
    Add(text, "image", name);
    Add(text, "format", FormatName(result.format));
    Add(text, "image-bytes", std::to_string(result.imageBytes));
    Add(text, "imaged", Imaged(result));
    Add(text, "imaged-bytes", std::to_string(result.driveBytes));
    for (const HashKind kind : {HashKind::Sha256, HashKind::Md5, HashKind::Sha1}) {
        Add(text, ("drive-" + std::string(HashName(kind))).c_str(), DriveDigest(result, kind));
    }
    Add(text, "file-sha256", result.fileSha256);
    Add(text, "verify", record.verify);
    Add(text, "unreadable-bytes", std::to_string(result.unreadableBytes));
    Add(text, "unreadable-areas", std::to_string(result.unreadableRanges.size()));
    Add(text, "map", request.task == Task::Rescue ? name + kMapSuffix : std::string());
    AddSource(text, record.source);
    return text;
}

}  // namespace imaging
