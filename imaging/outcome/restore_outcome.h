#pragma once

#include <string>

#include "run/copy_job.h"

namespace imaging {

// One line that says how a restore ended, e.g. "Card restored and verified: /dev/sdb holds
// card.img.zst (zstd image, 31,914,983,424 bytes written in 812 s, 39.3 MB/s); the card now holds
// exactly what card SanDisk SD32G 0x1234 held when imaged: SHA-256 3f2a...".
std::string DescribeRestore(const CopyRequest& request, const CopyResult& result);

}  // namespace imaging
