#include "drive_events.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

namespace drive {
namespace {

// The kernel's own group: its announcements arrive whether or not udev runs.
constexpr unsigned kKernelEvents = 1;

constexpr std::size_t kEventBufferSize = 8192;

}  // namespace

DriveEvents::DriveEvents()
    : m_descriptor(
          ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT)) {
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = kKernelEvents;
    if (m_descriptor >= 0 &&
        ::bind(m_descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(m_descriptor);
        m_descriptor = -1;
    }
}

DriveEvents::~DriveEvents() {
    if (m_descriptor >= 0) {
        ::close(m_descriptor);
    }
}

// An announcement is "ACTION@DEVPATH" followed by KEY=VALUE fields, each ended by a NUL.
bool DriveEvents::DrainBlockEvents() {
    bool block = false;
    char buffer[kEventBufferSize];
    for (;;) {
        const ssize_t got = ::recv(m_descriptor, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return block;
        }
        const std::string_view event(buffer, static_cast<std::size_t>(got));
        for (std::size_t at = 0; at < event.size();) {
            const std::size_t end = std::min(event.find('\0', at), event.size());
            block = block || event.substr(at, end - at) == "SUBSYSTEM=block";
            at = end + 1;
        }
    }
}

}  // namespace drive
