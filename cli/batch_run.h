#pragma once

#include <cstdio>

#include "command_line.h"

namespace cli {

// Several drives at once: one image onto each card (--restore 1,2,3 FILE), or each drive into
// its own image (--image 1 a.img --image 2 b.img). Every drive runs on its own worker, at its own
// pace, and is verified on its own; one that fails (pulled, a write error, a verify that
// differs, a fake card) ends alone, with its reason, and the others go on. Nothing is written to
// any card before every card is confirmed, each by its own name, and none is written where the
// image lies on one of them. Progress goes to `err`: on a terminal a line per drive rewritten in
// place, else plain lines at most once a second; with --json, to `out` alone, one object per
// drive and second and a last one per drive with its result. Ends with a line per drive (with
// --json, the result objects), and a line on `err` naming the failed drives; 0 only when every
// drive succeeded.
int RunBatch(const CommandLine& line, std::FILE* in, std::FILE* out, std::FILE* err);

}  // namespace cli
