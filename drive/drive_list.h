#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "drive.h"
#include "drive_probe.h"

namespace drive {

// What the list knows of a drive beyond its entry's text.
struct ListedDrive {
    int index = 0;
    Drive drive;
};

// The two things the drive list needs of the control that shows it.
class DeviceListControl {
public:
    DeviceListControl() = default;
    DeviceListControl(const DeviceListControl&) = delete;
    DeviceListControl& operator=(const DeviceListControl&) = delete;
    virtual ~DeviceListControl() = default;

    virtual void ResetContent() = 0;
    virtual void AddString(const std::string& text, const ListedDrive& drive) = 0;
};

// Empties the list, then adds one entry for every drive among indexes 0 to 19 that holds
// removable media: probed through the open drive where this process may open it, else from
// what the platform tells every user. Never asks for access. Leaves no entry selected.
void RefreshDriveList(DeviceListControl& list);

// "<index>: volume: <MB> MB", the megabytes rounded down.
std::string FormatDriveEntry(int index, std::uint64_t capacity);

// The drive index an entry's text begins with; nullopt when it begins with no number.
std::optional<int> DriveIndexFromEntry(const std::string& text);

}  // namespace drive
