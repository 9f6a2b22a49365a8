#pragma once

#include <cstdint>
#include <string>

#include "drive.h"
#include "run/copy_job.h"

namespace imaging {

// What a run knows of itself beyond its request and result.
struct RunRecord {
    drive::Drive source;
    std::int64_t started = 0;  // seconds since the epoch
    std::int64_t ended = 0;
    // "passed", "not asked", or "failed: " and the reason.
    std::string verify = "not asked";
};

// IMAGE.info's text for an image named `name`. Every key is written, with an empty value where
// there is nothing to say, so a reader finds them all:
//   tool, command ("window" for the window), host, user, started, ended (UTC, ISO 8601),
//   image, format, image-bytes, imaged ("whole drive", or "partitions only (GPT)" and the
//   smallest drive it restores to), imaged-bytes, drive-sha256, drive-md5, drive-sha1 (the
//   drive's content as imaged; empty where not taken or not read whole), file-sha256, verify,
//   unreadable-bytes, unreadable-areas, map, and the source drive: source-node, source-vendor,
//   source-model, source-serial, source-revision, source-bytes, source-sectors,
//   source-sector-size, source-bus, source-port, source-identity, source-read-only, and one
//   source-volume line per volume.
std::string ImageInfo(const std::string& name, const CopyRequest& request, const CopyResult& result,
                      const RunRecord& record);

// "2026-12-08T22:33:44Z".
std::string UtcTime(std::int64_t secondsSinceEpoch);

// The machine's name and the user's, as the platform tells them; empty where it does not.
std::string HostName();
std::string UserName();

}  // namespace imaging
