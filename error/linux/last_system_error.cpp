#include <cerrno>

#include "failure.h"

namespace error {

int LastSystemError() {
    return errno;
}

}  // namespace error
