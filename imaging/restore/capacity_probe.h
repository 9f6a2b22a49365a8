#pragma once

#include "failure.h"
#include "restore/card_writer.h"

namespace imaging {

// Before the long write: a mark in a sector at a few offsets spread over the card (the first,
// the last and seven between), all written, then read back straight from the card. A fake card,
// whose controller wraps offsets past what it truly holds, returns another offset's mark there,
// or fails at its end: CardHoldsLess, "reports 32.0 GB but holds only about 8.0 GB". Each
// sector is put back as it was, so the probe leaves nothing behind.
error::Failure ProbeCapacity(const CardToWrite& card);

}  // namespace imaging
