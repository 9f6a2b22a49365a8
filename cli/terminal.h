#pragma once

#include <cstdio>

namespace cli {

// True when `stream` writes to a terminal, where a line can be rewritten in place.
bool IsTerminal(std::FILE* stream);

// True when lines already written to `stream` can be rewritten with the terminal's cursor
// movements (ANSI): any terminal on Linux; a Windows console set to take them.
bool MovesCursor(std::FILE* stream);

}  // namespace cli
