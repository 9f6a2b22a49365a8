#pragma once

#include <string>
#include <vector>

#include "drive.h"
#include "drive_handle.h"
#include "failure.h"

namespace drive {

// Writing a drive: only a restore the user confirmed by the drive's own description comes here.

// Why the system itself uses `drive`, so that nothing may be written to it: it holds the running
// system, active swap, or a member of a RAID, LVM or encrypted volume; empty when it does not.
std::string UsedBySystem(const Drive& drive);

// True when the drive refuses writes: a card's lock switch, or a device the platform set
// read-only.
bool IsWriteProtected(DriveHandle handle);

// Volumes of a drive kept locked for as long as this lives (Windows: a volume's lock is a handle
// of it; Linux keeps nothing, the unmount itself keeps the volumes away).
class HeldVolumes {
public:
    HeldVolumes() = default;
    ~HeldVolumes();
    HeldVolumes(const HeldVolumes&) = delete;
    HeldVolumes& operator=(const HeldVolumes&) = delete;
    void Hold(DriveHandle volume) { m_volumes.push_back(volume); }

private:
    std::vector<DriveHandle> m_volumes;
};

// Unmounts each mounted volume of `drive` (Linux: root directly, a desktop user through udisks2,
// which polkit may ask about; Windows: locked and dismounted, the locks kept in `held`).
// VolumeBusy naming the volume that stays mounted, and why.
error::Failure UnmountVolumes(const Drive& drive, HeldVolumes& held);

// Opens the drive at `path` for writing, exclusively and straight to the drive: every write is
// of whole sectors from memory aligned as kBufferAlignment is. Where the user may not open it,
// through udisks2 (polkit decides). DriveNotOpened with the platform's or the
// service's words; VolumeBusy when something else holds it.
error::Failure OpenDriveToWrite(const std::string& path, DriveHandle& handle);

// Brings every write to the drive's own storage.
error::Failure FlushDrive(DriveHandle handle);

// What the platform's refusal of a write with `error` most likely means, where it says more
// than the error's own text; empty otherwise.
std::string WriteRefusalCause(int error);

}  // namespace drive
