#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "drive_handle.h"
#include "drive_probe.h"
#include "failure.h"
#include "layout/partition_layout.h"
#include "read/digest.h"
#include "stage/buffer_ring.h"
#include "stage/sink.h"
#include "stage/stage_link.h"

namespace imaging {

// One pass over a drive: which drive it must be, how far to read, and the partitions-only plan
// where there is one.
struct DrivePass {
    drive::DriveHandle device;
    drive::DriveIdentity expected;
    std::uint64_t total = 0;
    const PartitionsPlan* plan = nullptr;
    std::size_t ringBuffers = kRunBufferCount;  // between the reader and the sink
};

// What a pass over the drive found of its bytes: their SHA-256, and the extra hashes asked for;
// and why its reads were not queued as they should have been, if they were not.
struct DriveDigests {
    std::string sha256;
    std::vector<NamedDigest> extra;
    std::string queueNote;
};

// Reads the whole drive on a second thread while this one hands its bytes to the sink: the
// run's two stages.
error::Failure ReadThrough(const StageLink& run, const DrivePass& pass,
                           const std::vector<HashKind>& extraHashes, ImageSink& sink,
                           DriveDigests& digests);

// Reads the drive again, from the card itself rather than from the cache, and compares it with
// what was imaged: ContentDiffers when it holds other bytes. A sector that fails now says so as a
// verify's failure: the image is complete, whatever an imaging run's bad sector would mean.
error::Failure VerifyDrive(const StageLink& run, const DrivePass& pass,
                           const std::string& expectedSha256);

// The drive's bytes for reading its partition table: whole pieces or nothing.
SectorReader SectorsOf(drive::DriveHandle device);

}  // namespace imaging
