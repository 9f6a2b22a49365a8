#include "image_info.h"

#include <ctime>

#include "image_file.h"
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

std::string UtcTime(std::int64_t secondsSinceEpoch) {
    const auto time = static_cast<std::time_t>(secondsSinceEpoch);
    // Only the worker asks, one run at a time, so gmtime's shared result is not contended.
    const std::tm* utc = std::gmtime(&time);
    char text[32] = {};
    if (utc != nullptr) {
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc);
    }
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
    Add(text, "map", request.rescue.enabled ? name + kMapSuffix : std::string());
    AddSource(text, record.source);
    return text;
}

}  // namespace imaging
