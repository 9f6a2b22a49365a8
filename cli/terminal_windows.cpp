#include <io.h>

#include "terminal.h"

namespace cli {

bool IsTerminal(std::FILE* stream) {
    return ::_isatty(::_fileno(stream)) != 0;
}

}  // namespace cli
