#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <vector>

#include "run/image_info.h"

namespace imaging {

std::string HostName() {
    char name[HOST_NAME_MAX + 1] = {};
    return ::gethostname(name, sizeof name - 1) == 0 ? name : "";
}

// The user the run works for: the one who started it, also where udisks2 opened the drive.
std::string UserName() {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr) {
        return entry.pw_name;
    }
    return std::to_string(::getuid());
}

}  // namespace imaging
