#pragma once

#include <cstdio>

namespace cli {

// True when `stream` writes to a terminal, where a line can be rewritten in place.
bool IsTerminal(std::FILE* stream);

}  // namespace cli
