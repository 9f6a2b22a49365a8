#pragma once

#include <string>

#include "run/copy_job.h"

namespace imaging {

// One line that says how a run ended, in the words the user reads, e.g. "image complete:
// card.img (SHA-256 in card.img.sha256)" or "failed: read error at byte 30,000,128
// (Input/output error); the image holds everything before it".
std::string DescribeOutcome(const CopyRequest& request, const CopyResult& result);

// "failed: " and the reason, with where and what the platform said: a read error's byte of the
// drive, a write error's byte of `written` ("the image", "the card").
std::string DescribeFailedRun(const CopyResult& result, const char* written = "the image");

}  // namespace imaging
