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
            if (const auto drive = ListWithoutOpening(path)) {
                list.AddString(FormatDriveEntry(index, drive->length), {index, *drive});
            }
            continue;
        }
        const ScopedDrive open(handle);
        if (IsRemovableDrive(open.Get()) != 0) {
            // The open drive's own answers are exact where a description may round.
            Drive drive = DescribeOpenDrive(open.Get(), path);
            drive.length = DriveCapacity(open.Get());
            drive.identity = QueryDriveIdentity(open.Get());
            list.AddString(FormatDriveEntry(index, drive.length), {index, drive});
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
