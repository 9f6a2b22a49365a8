#include <windows.h>

#include "failure.h"

namespace error {

int LastSystemError() {
    return static_cast<int>(::GetLastError());
}

}  // namespace error
