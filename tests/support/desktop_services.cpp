#include "desktop_services.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "test_system.h"

namespace testing_support {
namespace {

bool WaitFor(const std::string& command) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!RunCommand(command)) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

std::string OwnsBusName(const std::string& name) {
    return "dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus "
           "org.freedesktop.DBus.NameHasOwner string:" +
           name + " | grep -q 'boolean true'";
}

constexpr const char* kBusRunning =
    "dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus "
    "org.freedesktop.DBus.GetId";

}  // namespace

// In the order the notes on this machine give: the bus, udev and its first pass over the
// devices, then polkit and udisks2, each waited for before the next.
DesktopServices::DesktopServices() {
    if (!RunCommand(kBusRunning)) {
        std::filesystem::create_directories("/run/dbus");
        Start({"/usr/bin/dbus-daemon", "--system", "--nofork", "--nopidfile"});
        if (!WaitFor(kBusRunning)) {
            return;
        }
    }
    if (!RunCommand("udevadm control --ping")) {
        Start({"/lib/systemd/systemd-udevd"});
        if (!WaitFor("udevadm control --ping") ||
            !RunCommand("udevadm trigger --type=devices --action=add && udevadm settle -t 10")) {
            return;
        }
    }
    if (!RunCommand(OwnsBusName("org.freedesktop.PolicyKit1"))) {
        Start({"/usr/lib/polkit-1/polkitd", "--no-debug"});
        if (!WaitFor(OwnsBusName("org.freedesktop.PolicyKit1"))) {
            return;
        }
    }
    // Waiting by asking whether the name is owned, never by calling the service: a call would
    // make the bus start a second copy of its own, which this object would not stop.
    if (!RunCommand(OwnsBusName("org.freedesktop.UDisks2"))) {
        Start({"/usr/libexec/udisks2/udisksd", "--no-debug"});
        if (!WaitFor(OwnsBusName("org.freedesktop.UDisks2"))) {
            return;
        }
    }
    m_ready = true;
}

DesktopServices::~DesktopServices() {
    for (auto pid = m_started.rbegin(); pid != m_started.rend(); ++pid) {
        ::kill(*pid, SIGTERM);
        ::waitpid(*pid, nullptr, 0);
    }
}

void DesktopServices::Start(std::vector<std::string> command) {
    std::vector<char*> argv;
    for (auto& argument : command) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    // Their output goes nowhere, so no daemon holds on to the test runner's pipes.
    posix_spawn_file_actions_t quiet;
    ::posix_spawn_file_actions_init(&quiet);
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        ::posix_spawn_file_actions_addopen(&quiet, fd, "/dev/null", O_RDWR, 0);
    }
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &quiet, nullptr, argv.data(), environ) == 0) {
        m_started.push_back(pid);
    }
    ::posix_spawn_file_actions_destroy(&quiet);
}

bool DesktopServices::WaitUntilKnown(const std::string& node) {
    return RunCommand("udevadm settle -t 10") && WaitFor("udisksctl info -b " + node);
}

PolkitRule::PolkitRule(std::string name, const std::string& javascript)
    : m_path("/etc/polkit-1/rules.d/" + std::move(name)) {
    std::ofstream(m_path) << javascript;
}

PolkitRule::~PolkitRule() {
    std::filesystem::remove(m_path);
}

SystemUser::SystemUser(std::string name) : m_name(std::move(name)) {
    RunCommand("useradd --system --no-create-home --shell /usr/sbin/nologin " + m_name);
    if (const passwd* entry = ::getpwnam(m_name.c_str())) {
        m_uid = entry->pw_uid;
        m_gid = entry->pw_gid;
    }
}

SystemUser::~SystemUser() {
    RunCommand("userdel " + m_name);
}

}  // namespace testing_support
