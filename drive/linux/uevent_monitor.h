#pragma once

#include "unique_fd.h"

namespace drive {

// The kernel's announcements of devices that come, go or change (its uevent netlink socket), for
// a window's event loop to watch: Descriptor() turns readable when one arrives. Reading them
// needs no privilege and opens no drive. Invalid where the socket cannot be had; the list then
// follows the drives only when refreshed by hand.
class UeventMonitor {
public:
    UeventMonitor();

    bool IsValid() const { return m_socket.IsValid(); }
    int Descriptor() const { return m_socket.Get(); }

    // Reads every announcement waiting; true when one of them was about a block device.
    bool DrainBlockEvents();

private:
    UniqueFd m_socket;
};

}  // namespace drive
