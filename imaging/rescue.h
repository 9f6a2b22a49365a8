#pragma once

#include <cstddef>
#include <cstdint>

#include "copy_job.h"
#include "image_info.h"
#include "partition_layout.h"

namespace imaging {

// Rescues a failing drive of `capacity` bytes into a raw image, as recovery tools do: the
// readable areas first at full speed, skipping ahead past failing ones; then the edges of each
// failed area sector by sector; then every sector in between; then the bad sectors again, up to
// the request's retries. The map of what was read (IMAGE.map, GNU ddrescue's format) is kept
// true for the image all along: saved every few seconds and at every end, success, failure or
// cancel, wherever the image is written under its own name. A target that has an earlier
// rescue's map is continued from that map: only what it does not call finished is read again,
// and nothing it calls finished is written. With `plan`, only the plan's part of the drive is
// rescued and the plan's changes are laid over it. `record` goes into the image's IMAGE.info.
drive::Failure RescueDrive(CopyJob& job, drive::DriveHandle device, std::uint64_t capacity,
                           std::size_t sectorSize, const PartitionsPlan* plan, RunRecord& record);

}  // namespace imaging
