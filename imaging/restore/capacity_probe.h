#pragma once

#include <cstdint>
#include <vector>

#include "failure.h"
#include "restore/card_writer.h"

namespace imaging {

// Before the long write: a mark in a sector at many offsets of the card (a grid of 64ths of its
// length, every power of two, its last sectors), each holding its own offset and a number of
// this run's, all written before any is read back straight from the card. A fake card, whose
// controller wraps offsets past what it truly holds, returns another offset's mark where it
// wraps, wherever that is on the grid or a power of two: CardHoldsLess, "reports 32.0 GB but
// holds only about 8.6 GB". A read or write that fails is that failure, "during the capacity
// probe". Each sector is put back as it was; those that could not be (the card was pulled) are
// in `notPutBack`, by offset.
error::Failure ProbeCapacity(const CardToWrite& card, std::vector<std::uint64_t>& notPutBack);

}  // namespace imaging
