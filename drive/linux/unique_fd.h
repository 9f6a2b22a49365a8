#pragma once

#include <unistd.h>

#include "scoped_handle.h"

namespace drive {

struct FdTraits {
    using Handle = int;
    static constexpr int Invalid() { return -1; }
    static void Close(int fd) { ::close(fd); }
};

using UniqueFd = ScopedHandle<FdTraits>;

}  // namespace drive
