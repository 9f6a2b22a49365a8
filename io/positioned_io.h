#pragma once

#include <cstddef>

#include "io_queue.h"

namespace io {

// Does `request` at once on this thread, to its end: every byte moved, the file's end met
// (a read), or an error.
Completion TransferNow(const Request& request);

}  // namespace io
