#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testing_support {

// The services a desktop runs for drive access: the system bus, udev, polkit and udisks2. Each
// that is not running is started here and stopped again when this object goes; one that was
// running is left alone.
class DesktopServices {
public:
    DesktopServices();
    ~DesktopServices();
    DesktopServices(const DesktopServices&) = delete;
    DesktopServices& operator=(const DesktopServices&) = delete;

    // False when one of them could not be brought up.
    bool IsReady() const { return m_ready; }
    // Waits until udisks2 knows the block device at `node`; false after ten seconds.
    static bool WaitUntilKnown(const std::string& node);

private:
    void Start(std::vector<std::string> command);

    std::vector<pid_t> m_started;
    bool m_ready = false;
};

// A polkit rule in /etc/polkit-1/rules.d, removed again when this object goes.
class PolkitRule {
public:
    PolkitRule(std::string name, const std::string& javascript);
    ~PolkitRule();
    PolkitRule(const PolkitRule&) = delete;
    PolkitRule& operator=(const PolkitRule&) = delete;

private:
    std::string m_path;
};

// A system user without a home or a shell, deleted again when this object goes.
class SystemUser {
public:
    explicit SystemUser(std::string name);
    ~SystemUser();
    SystemUser(const SystemUser&) = delete;
    SystemUser& operator=(const SystemUser&) = delete;
    uid_t Uid() const { return m_uid; }
    gid_t Gid() const { return m_gid; }

private:
    std::string m_name;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
};

}  // namespace testing_support
