#pragma once

namespace drive {

// The platform's announcements of drives that come, go or change, for a window's event loop to
// watch: Descriptor() turns readable when one arrives. Reading them needs no privilege and opens
// no drive. Invalid where they cannot be had; the list then follows the drives only when
// refreshed by hand. (Linux: the kernel's uevent netlink socket. The Windows window has
// WM_DEVICECHANGE instead.)
class DriveEvents {
public:
    DriveEvents();
    ~DriveEvents();
    DriveEvents(const DriveEvents&) = delete;
    DriveEvents& operator=(const DriveEvents&) = delete;

    bool IsValid() const { return m_descriptor >= 0; }
    int Descriptor() const { return m_descriptor; }

    // Reads every announcement waiting; true when one of them was about a block device.
    bool DrainBlockEvents();

private:
    int m_descriptor = -1;
};

}  // namespace drive
