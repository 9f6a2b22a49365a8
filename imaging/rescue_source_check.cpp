#include "rescue_source_check.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "drive_details.h"

namespace imaging {
namespace {

using drive::Failure;
using drive::FailureReason;

// Eight samples of up to 4 KiB each cost a few milliseconds and catch another card at once.
constexpr std::uint64_t kSamples = 8;
constexpr std::size_t kSampleBytes = 4096;

bool Overlaps(std::uint64_t offset, std::uint64_t size, const PartitionsPlan* plan) {
    if (plan == nullptr) {
        return false;
    }
    return offset + size > plan->driveBytes ||
           std::any_of(plan->patches.begin(), plan->patches.end(), [&](const ImagePatch& patch) {
               return offset < patch.offset + patch.bytes.size() && patch.offset < offset + size;
           });
}

// The drive's bytes at `offset`, whole or not at all: a sector that no longer reads proves
// nothing either way.
bool ReadFromDrive(drive::DriveHandle device, std::uint64_t offset, std::byte* data,
                   std::size_t size) {
    for (std::size_t done = 0; done < size;) {
        std::size_t got = 0;
        if (drive::ReadDrive(device, data + done, size - done, offset + done, got) || got == 0) {
            return false;
        }
        done += got;
    }
    return true;
}

}  // namespace

std::string SourceSignature(drive::DriveHandle device) {
    drive::Drive described = drive::DescribeOpenDrive(device, {});
    described.length = drive::DriveCapacity(device);
    return drive::DriveSignature(described);
}

Failure CheckSameSource(drive::DriveHandle device, std::size_t sectorSize, const RescueMap& map,
                        const PartitionsPlan* plan, ImageFile& image) {
    const std::string mapName = image.Name() + kMapSuffix;
    const std::string here = SourceSignature(device);
    if (!map.Source().empty() && map.Source() != here) {
        return {FailureReason::ImageRefused, 0,
                mapName + " is of another drive: " + map.Source() + "; this one is " + here};
    }
    std::vector<std::byte> fromDrive(kSampleBytes);
    std::vector<std::byte> fromImage(kSampleBytes);
    for (std::uint64_t sample = 0; sample < kSamples; ++sample) {
        ByteRange area;
        if (!map.Find(AreaStatus::Finished, sample * map.Size() / kSamples, map.Size(), area)) {
            break;
        }
        const std::size_t size =
            static_cast<std::size_t>(std::min<std::uint64_t>(area.size, kSampleBytes)) /
            sectorSize * sectorSize;
        std::size_t got = 0;
        if (size == 0 || Overlaps(area.offset, size, plan) ||
            !ReadFromDrive(device, area.offset, fromDrive.data(), size)) {
            continue;
        }
        if (Failure failure = image.ReadAt(area.offset, fromImage.data(), size, got)) {
            return failure;
        }
        if (got != size || std::memcmp(fromDrive.data(), fromImage.data(), size) != 0) {
            return {FailureReason::ImageRefused, 0,
                    "this drive (" + here + ") holds other bytes at " +
                        std::to_string(area.offset) + " than " + image.Name() + ", where " +
                        mapName + " calls them rescued: the map is of another drive"};
        }
    }
    return {};
}

}  // namespace imaging
