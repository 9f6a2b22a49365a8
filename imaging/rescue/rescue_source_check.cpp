#include "rescue/rescue_source_check.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "drive_details.h"
#include "drive_reads.h"
#include "stage/buffer_ring.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

namespace {

// Eight samples of up to 4 KiB each cost a few milliseconds and catch another card at once.
constexpr std::uint64_t kSamples = 8;
constexpr std::size_t kSampleBytes = 4096;

constexpr const char* kCardBus = "SD/MMC";

// The value of `key` in a mark; empty where it has none.
std::string MarkValue(const std::string& mark, const std::string& key) {
    const std::string field = key + "=";
    for (std::size_t start = 0; start < mark.size();) {
        const std::size_t end = std::min(mark.find("; ", start), mark.size());
        if (mark.compare(start, field.size(), field) == 0) {
            return mark.substr(start + field.size(), end - start - field.size());
        }
        start = end + 2;
    }
    return {};
}

// What the user reads of a drive in a message: its name, serial and length.
std::string Readable(const std::string& mark) {
    std::string text = MarkValue(mark, "name");
    if (const std::string serial = MarkValue(mark, "serial"); !serial.empty()) {
        text += (text.empty() ? "serial " : ", serial ") + serial;
    }
    return text + (text.empty() ? "" : ", ") + MarkValue(mark, "bytes") + " bytes";
}

bool Overlaps(std::uint64_t offset, std::uint64_t size, const PartitionsPlan* plan) {
    if (plan == nullptr) {
        return false;
    }
    return offset + size > plan->driveBytes ||
           std::any_of(plan->patches.begin(), plan->patches.end(), [&](const ImagePatch& patch) {
               return offset < patch.offset + patch.bytes.size() && patch.offset < offset + size;
           });
}

// Where the recorded drive and this one cannot be the same medium, why.
std::string Mismatch(const std::string& recorded, const std::string& here) {
    if (MarkValue(recorded, "bytes") != MarkValue(here, "bytes")) {
        return "another length";
    }
    const std::string serial = MarkValue(recorded, "serial");
    if (MarkValue(recorded, "bus") == kCardBus && MarkValue(here, "bus") == kCardBus &&
        !serial.empty() && serial != MarkValue(here, "serial")) {
        return "another serial";
    }
    return {};
}

}  // namespace

std::string SourceMark(drive::DriveHandle device) {
    const drive::Drive described = drive::DescribeOpenDrive(device, {});
    std::string name = described.vendor;
    name += (name.empty() || described.model.empty() ? "" : " ") + described.model;
    return "bytes=" + std::to_string(drive::DriveCapacity(device)) + "; bus=" + described.bus +
           "; serial=" + described.serial + "; name=" + name;
}

Failure CheckSameSource(drive::DriveHandle device, std::size_t sectorSize, const RescueMap& map,
                        const PartitionsPlan* plan, ImageFile& image) {
    const std::string mapName = image.Name() + kMapSuffix;
    const std::string here = SourceMark(device);
    if (!map.Source().empty()) {
        if (const std::string why = Mismatch(map.Source(), here); !why.empty()) {
            return {FailureReason::ImageRefused, 0,
                    mapName + " is of another drive (" + why + "): " + Readable(map.Source()) +
                        "; this one is " + Readable(here)};
        }
    }
    // Read straight from the card, so a worn area is asked for only the sample, not read ahead.
    const std::unique_ptr<std::byte[], AlignedDelete> fromDrive(
        static_cast<std::byte*>(::operator new[](kSampleBytes, kBufferAlignment)));
    std::vector<std::byte> fromImage(kSampleBytes);
    for (std::uint64_t sample = 0; sample < kSamples; ++sample) {
        ByteRange area;
        if (!map.Find(AreaStatus::Finished, sample * map.Size() / kSamples, map.Size(), area)) {
            break;
        }
        const std::uint64_t offset = (area.offset + sectorSize - 1) / sectorSize * sectorSize;
        const std::uint64_t end = area.offset + area.size;
        const std::size_t size =
            offset >= end
                ? 0
                : static_cast<std::size_t>(std::min<std::uint64_t>(end - offset, kSampleBytes)) /
                      sectorSize * sectorSize;
        std::size_t got = 0;
        // A sector that no longer reads proves nothing either way.
        if (size == 0 || Overlaps(offset, size, plan) ||
            drive::ReadDriveDirect(device, fromDrive.get(), size, offset, got) || got != size) {
            continue;
        }
        if (Failure failure = image.ReadAt(offset, fromImage.data(), size, got)) {
            return failure;
        }
        if (got != size || std::memcmp(fromDrive.get(), fromImage.data(), size) != 0) {
            return {FailureReason::ImageRefused, 0,
                    "this drive (" + Readable(here) + ") holds other bytes at " +
                        std::to_string(offset) + " than " + image.Name() + ", where " + mapName +
                        " calls them rescued: the map is of another drive"};
        }
    }
    return {};
}

}  // namespace imaging
