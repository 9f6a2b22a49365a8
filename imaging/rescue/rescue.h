#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "drive_handle.h"
#include "drive_probe.h"
#include "image/image_format.h"
#include "layout/partition_layout.h"
#include "read/byte_ranges.h"
#include "stage/stage_link.h"

namespace imaging {

// What a rescue is asked for.
struct RescueTask {
    std::string imagePath;
    ImageFormat format = ImageFormat::Raw;  // a rescue writes raw images only
    int retries = 0;                        // further tries of each bad sector
    drive::DriveIdentity expected;          // the drive the run must be reading
};

// What a rescue found. `fileSha256` and `whole` are set once the image has been read back;
// `complete` says it was then committed.
struct RescueFindings {
    std::uint64_t imaged = 0;      // bytes of the drive, as imaged: the map's size
    std::uint64_t imageBytes = 0;  // the image file's length
    std::uint64_t unreadableBytes = 0;
    std::vector<ByteRange> unreadable;
    std::string fileSha256;
    bool whole = false;     // every byte read: the file's SHA-256 is the drive content's too
    bool complete = false;  // the image and its side files are in place
};

// IMAGE.info's text for what a rescue found, made by the one who keeps the run's record.
using RecordText = std::function<std::string(const RescueFindings&)>;

// Rescues a failing drive of `capacity` bytes into a raw image, as recovery tools do: the
// readable areas first at full speed, skipping ahead past failing ones; then the edges of each
// failed area sector by sector; then every sector in between; then the bad sectors again, up to
// the task's retries. The map of what was read (IMAGE.map, GNU ddrescue's format) is kept
// true for the image all along: saved every few seconds and at every end, success, failure or
// cancel, wherever the image is written under its own name. A target that has an earlier
// rescue's map is continued from that map: only what it does not call finished is read again,
// and nothing it calls finished is written. With `plan`, only the plan's part of the drive is
// rescued and the plan's changes are laid over it. `found` tells the findings on every path.
error::Failure RescueDrive(const StageLink& run, const RescueTask& task, drive::DriveHandle device,
                           std::uint64_t capacity, std::size_t sectorSize,
                           const PartitionsPlan* plan, const RecordText& record,
                           RescueFindings& found);

}  // namespace imaging
