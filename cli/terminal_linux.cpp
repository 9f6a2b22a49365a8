#include <unistd.h>

#include "terminal.h"

namespace cli {

bool IsTerminal(std::FILE* stream) {
    return ::isatty(::fileno(stream)) == 1;
}

bool MovesCursor(std::FILE* stream) {
    return IsTerminal(stream);
}

}  // namespace cli
