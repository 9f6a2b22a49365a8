#include "udisks_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>

namespace drive {

using error::Failure;
using error::FailureReason;
using error::SystemFailure;

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

    // What the service said, e.g. "Not authorized to perform operation
    // (org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain)"; "" when it said nothing.
    std::string Text() const {
        if (m_error.name == nullptr) {
            return {};
        }
        return m_error.message != nullptr ? std::string(m_error.message) + " (" + m_error.name + ")"
                                          : std::string(m_error.name);
    }

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

// sd-bus answers a negative errno; the service's own words, where it sent some, say more.
Failure Refused(int result, const ScopedError& error, const char* context) {
    const std::string said = error.Text();
    return {FailureReason::DriveNotOpened, -result,
            said.empty() ? std::string(context) + ": " + std::strerror(-result) : said};
}

Failure ResolveBlockObject(sd_bus* bus, const std::string& path, std::string& object) {
    const std::string node = KernelNodeOf(path);
    if (node.empty()) {
        return {FailureReason::DriveNotOpened, ENODEV, "udisks2: not a block device"};
    }
    ScopedError error;
    sd_bus_message* reply = nullptr;
    const int result = sd_bus_call_method(
        bus, kService, "/org/freedesktop/UDisks2/Manager", "org.freedesktop.UDisks2.Manager",
        "ResolveDevice", error.Get(), &reply, "a{sv}a{sv}", 1, "path", "s", node.c_str(), 0);
    if (result < 0) {
        return Refused(result, error, "udisks2");
    }
    const Message owned(reply);
    const char* found = nullptr;
    if (sd_bus_message_enter_container(reply, 'a', "o") <= 0 ||
        sd_bus_message_read(reply, "o", &found) <= 0) {
        return {FailureReason::DriveNotOpened, ENODEV, "udisks2 does not know " + node};
    }
    object = found;
    return {};
}

// Block.OpenDevice, with polkit allowed to ask the user.
Failure OpenDevice(sd_bus* bus, const std::string& object, UdisksOpen how, int& fd) {
    sd_bus_message* call = nullptr;
    int result = sd_bus_message_new_method_call(bus, &call, kService, object.c_str(),
                                                "org.freedesktop.UDisks2.Block", "OpenDevice");
    ScopedError error;
    if (result < 0) {
        return Refused(result, error, "udisks2");
    }
    const Message ownedCall(call);
    if ((result = how.flags != 0 ? sd_bus_message_append(call, "sa{sv}", how.mode, 2,
                                                         "auth.no_user_interaction", "b", 0,
                                                         "flags", "i", how.flags)
                                 : sd_bus_message_append(call, "sa{sv}", how.mode, 1,
                                                         "auth.no_user_interaction", "b", 0)) < 0 ||
        (result = sd_bus_message_set_allow_interactive_authorization(call, 1)) < 0) {
        return Refused(result, error, "udisks2");
    }
    sd_bus_message* reply = nullptr;
    if ((result = sd_bus_call(bus, call, kOpenTimeoutMicroseconds, error.Get(), &reply)) < 0) {
        return Refused(result, error, "udisks2");
    }
    const Message ownedReply(reply);
    int carried = -1;
    if ((result = sd_bus_message_read(reply, "h", &carried)) <= 0) {
        return Refused(result < 0 ? result : -EBADMSG, error, "udisks2");
    }
    // The message owns the descriptor it carries.
    fd = ::fcntl(carried, F_DUPFD_CLOEXEC, 3);
    return fd >= 0 ? Failure{} : SystemFailure(FailureReason::DriveNotOpened);
}

// The system bus, and udisks2's object for the block device at `path`.
Failure ConnectTo(const std::string& path, Bus& bus, std::string& object) {
    sd_bus* raw = nullptr;
    const int result = sd_bus_open_system(&raw);
    if (result < 0) {
        return {FailureReason::DriveNotOpened, -result,
                std::string("system bus: ") + std::strerror(-result)};
    }
    bus.reset(raw);
    return ResolveBlockObject(bus.get(), path, object);
}

}  // namespace

Failure OpenThroughUdisks(const std::string& path, int& fd, UdisksOpen how) {
    fd = -1;
    Bus bus;
    std::string object;
    if (Failure failure = ConnectTo(path, bus, object)) {
        return failure;
    }
    return OpenDevice(bus.get(), object, how, fd);
}

Failure UnmountThroughUdisks(const std::string& path) {
    Bus bus;
    std::string object;
    if (Failure failure = ConnectTo(path, bus, object)) {
        return failure;
    }
    sd_bus_message* call = nullptr;
    ScopedError error;
    int result = sd_bus_message_new_method_call(bus.get(), &call, kService, object.c_str(),
                                                "org.freedesktop.UDisks2.Filesystem", "Unmount");
    if (result < 0) {
        return Refused(result, error, "udisks2");
    }
    const Message ownedCall(call);
    if ((result = sd_bus_message_append(call, "a{sv}", 1, "auth.no_user_interaction", "b", 0)) <
            0 ||
        (result = sd_bus_message_set_allow_interactive_authorization(call, 1)) < 0) {
        return Refused(result, error, "udisks2");
    }
    sd_bus_message* reply = nullptr;
    if ((result = sd_bus_call(bus.get(), call, kOpenTimeoutMicroseconds, error.Get(), &reply)) <
        0) {
        return Refused(result, error, "udisks2");
    }
    sd_bus_message_unref(reply);
    return {};
}

}  // namespace drive
