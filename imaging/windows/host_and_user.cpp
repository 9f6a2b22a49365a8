#include <windows.h>

#include "run/image_info.h"

namespace imaging {

std::string HostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    return ::GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
}

std::string UserName() {
    char name[257] = {};
    DWORD size = sizeof name;
    // GetUserNameA lives in advapi32, one of Windows' own libraries.
    return ::GetUserNameA(name, &size) && size > 0 ? std::string(name, size - 1) : std::string();
}

}  // namespace imaging
