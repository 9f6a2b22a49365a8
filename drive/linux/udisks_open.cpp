#include "udisks_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <memory>

namespace drive {
namespace {

constexpr const char* kService = "org.freedesktop.UDisks2";

// The user may take their time to type a password into polkit's prompt.
constexpr std::uint64_t kOpenTimeoutMicroseconds = std::uint64_t{15} * 60 * 1000 * 1000;

struct BusDeleter {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageDeleter {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, BusDeleter>;
using Message = std::unique_ptr<sd_bus_message, MessageDeleter>;

class ScopedError {
public:
    ScopedError() = default;
    ~ScopedError() { sd_bus_error_free(&m_error); }
    ScopedError(const ScopedError&) = delete;
    ScopedError& operator=(const ScopedError&) = delete;
    sd_bus_error* Get() { return &m_error; }

private:
    sd_bus_error m_error{};  // all zero, as SD_BUS_ERROR_NULL
};

// udisks2 knows a block device by the node the kernel names for it; the path may be a link or
// another node of the same device, so the kernel's own name is looked up by device number.
std::string KernelNodeOf(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISBLK(status.st_mode)) {
        return {};
    }
    std::ifstream uevent("/sys/dev/block/" + std::to_string(major(status.st_rdev)) + ":" +
                         std::to_string(minor(status.st_rdev)) + "/uevent");
    for (std::string line; std::getline(uevent, line);) {
        if (line.rfind("DEVNAME=", 0) == 0) {
            return "/dev/" + line.substr(8);
        }
    }
    return {};
}

std::string BlockObjectOf(sd_bus* bus, const std::string& path) {
    const std::string node = KernelNodeOf(path);
    if (node.empty()) {
        return {};
    }
    ScopedError error;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus, kService, "/org/freedesktop/UDisks2/Manager",
                           "org.freedesktop.UDisks2.Manager", "ResolveDevice", error.Get(), &reply,
                           "a{sv}a{sv}", 1, "path", "s", node.c_str(), 0) < 0) {
        return {};
    }
    const Message owned(reply);
    const char* object = nullptr;
    if (sd_bus_message_enter_container(reply, 'a', "o") <= 0 ||
        sd_bus_message_read(reply, "o", &object) <= 0) {
        return {};
    }
    return object;
}

// Block.OpenDevice for reading only, with polkit allowed to ask the user.
int OpenDevice(sd_bus* bus, const std::string& object) {
    sd_bus_message* call = nullptr;
    if (sd_bus_message_new_method_call(bus, &call, kService, object.c_str(),
                                       "org.freedesktop.UDisks2.Block", "OpenDevice") < 0) {
        return -1;
    }
    const Message ownedCall(call);
    if (sd_bus_message_append(call, "sa{sv}", "r", 1, "auth.no_user_interaction", "b", 0) < 0 ||
        sd_bus_message_set_allow_interactive_authorization(call, 1) < 0) {
        return -1;
    }
    ScopedError error;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call(bus, call, kOpenTimeoutMicroseconds, error.Get(), &reply) < 0) {
        return -1;
    }
    const Message ownedReply(reply);
    int fd = -1;
    if (sd_bus_message_read(reply, "h", &fd) <= 0) {
        return -1;
    }
    // The message owns the descriptor it carries.
    return ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

}  // namespace

int OpenThroughUdisks(const std::string& path) {
    sd_bus* raw = nullptr;
    int fd = -1;
    if (sd_bus_open_system(&raw) >= 0) {
        const Bus bus(raw);
        const std::string object = BlockObjectOf(bus.get(), path);
        fd = object.empty() ? -1 : OpenDevice(bus.get(), object);
    }
    if (fd < 0) {
        errno = EACCES;
    }
    return fd;
}

}  // namespace drive
