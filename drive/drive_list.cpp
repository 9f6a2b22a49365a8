#include "drive_list.h"

#include <cstdio>

#include "drive_details.h"
#include "drive_probe.h"
#include "scoped_drive.h"

namespace drive {

void RefreshDriveList(DeviceListControl& list) {
    list.ResetContent();
    for (int index = 0; index < kDriveIndexCount; ++index) {
        const std::string path = DrivePath(index);
        DriveHandle handle = kInvalidDriveHandle;
        if (OpenDrive(path, handle) == 0) {
            // A user without the right to read drives still sees them; access is asked for
            // only when one is imaged.
            if (const auto listing = ListWithoutOpening(path)) {
                list.AddString(FormatDriveEntry(index, listing->capacity),
                               {index, listing->identity, listing->details});
            }
            continue;
        }
        const ScopedDrive drive(handle);
        if (IsRemovableDrive(drive.Get()) != 0) {
            list.AddString(
                FormatDriveEntry(index, DriveCapacity(drive.Get())),
                {index, QueryDriveIdentity(drive.Get()), DescribeDrive(drive.Get(), path)});
        }
    }
}

std::string FormatDriveEntry(int index, std::uint64_t capacity) {
    char text[128];
    std::snprintf(text, sizeof text, "%d: volume: %d MB", index,
                  static_cast<int>(static_cast<std::uint32_t>(capacity >> 20)));
    return text;
}

std::optional<int> DriveIndexFromEntry(const std::string& text) {
    int index = 0;
    if (std::sscanf(text.c_str(), "%d", &index) != 1) {
        return std::nullopt;
    }
    return index;
}

}  // namespace drive
