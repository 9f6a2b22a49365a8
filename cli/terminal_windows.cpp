#include <io.h>
#include <windows.h>

#include "terminal.h"

namespace cli {

bool IsTerminal(std::FILE* stream) {
    return ::_isatty(::_fileno(stream)) != 0;
}

bool MovesCursor(std::FILE* stream) {
    if (!IsTerminal(stream)) {
        return false;
    }
    const auto console = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
    DWORD mode = 0;
    return ::GetConsoleMode(console, &mode) && (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

}  // namespace cli
