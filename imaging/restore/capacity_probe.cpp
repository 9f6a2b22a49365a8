#include "restore/capacity_probe.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "drive.h"
#include "drive_reads.h"
#include "drive_writes.h"
#include "positioned_io.h"
#include "read/buffer_ring.h"
#include "run/run_controller.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

namespace {

// The first sector, the last, and seven spread evenly between.
constexpr std::uint64_t kSpreads = 8;

using Sector = std::unique_ptr<std::byte[], AlignedDelete>;

Sector NewSector(std::size_t size) {
    return Sector(static_cast<std::byte*>(::operator new[](size, kBufferAlignment)));
}

bool Transfer(io::Direction direction, const CardToWrite& card, std::byte* data,
              std::uint64_t offset) {
    const io::Completion done =
        io::TransferNow({direction, card.direct, data, card.sectorSize, offset, 0});
    return done.error == 0 && done.done == card.sectorSize;
}

// The mark of the sector at `offset` in this run: the offset and a number of the run's own,
// over and over, so no earlier content and no other sector's mark is taken for it.
void Mark(std::byte* sector, std::size_t size, std::uint64_t offset, std::uint64_t run) {
    const std::uint64_t words[2] = {offset, run};
    for (std::size_t at = 0; at + sizeof words <= size; at += sizeof words) {
        std::memcpy(sector + at, words, sizeof words);
    }
}

}  // namespace

Failure ProbeCapacity(const CardToWrite& card) {
    const std::uint64_t sectors = card.length / card.sectorSize;
    const std::uint64_t run =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::vector<std::uint64_t> offsets;
    std::vector<Sector> saved;
    for (std::uint64_t spread = 0; spread <= kSpreads; ++spread) {
        offsets.push_back((sectors - 1) * spread / kSpreads * card.sectorSize);
        saved.push_back(NewSector(card.sectorSize));
    }
    // Which offsets keep their own mark: read, written and read back.
    std::vector<bool> keeps(offsets.size(), false);
    for (std::size_t at = 0; at < offsets.size(); ++at) {
        keeps[at] = Transfer(io::Direction::Read, card, saved[at].get(), offsets[at]);
    }
    // Written from the last down, so where a high offset lands on a low one, the low one's
    // mark is the one left, and the high one is found out when read back.
    const Sector sector = NewSector(card.sectorSize);
    for (std::size_t at = offsets.size(); at > 0; --at) {
        Mark(sector.get(), card.sectorSize, offsets[at - 1], run);
        keeps[at - 1] =
            keeps[at - 1] && Transfer(io::Direction::Write, card, sector.get(), offsets[at - 1]);
    }
    drive::FlushDrive(card.direct);
    drive::ForgetCachedReads(card.direct);
    const Sector expected = NewSector(card.sectorSize);
    for (std::size_t at = 0; at < offsets.size(); ++at) {
        Mark(expected.get(), card.sectorSize, offsets[at], run);
        keeps[at] = keeps[at] && Transfer(io::Direction::Read, card, sector.get(), offsets[at]) &&
                    std::memcmp(sector.get(), expected.get(), card.sectorSize) == 0;
    }
    // Where offsets alias, both were read as the same sector before anything was written.
    bool restored = true;
    for (std::size_t at = 0; at < offsets.size(); ++at) {
        restored = Transfer(io::Direction::Write, card, saved[at].get(), offsets[at]) && restored;
    }
    restored = !drive::FlushDrive(card.direct) && restored;
    // What the card surely holds: up to the last offset before the first that lost its mark.
    std::uint64_t holds = card.length;
    for (std::size_t at = 0; at < offsets.size() && holds == card.length; ++at) {
        if (!keeps[at]) {
            holds = at == 0 ? 0 : offsets[at - 1] + card.sectorSize;
        }
    }
    if (holds != card.length) {
        return {FailureReason::CardHoldsLess, 0,
                "it reports " + drive::DecimalGigabytes(card.length) + " (" +
                    GroupedNumber(card.length) + " bytes) but holds only about " +
                    drive::DecimalGigabytes(holds) + " (" + GroupedNumber(holds) + " bytes)"};
    }
    return restored ? Failure{}
                    : Failure{FailureReason::WriteError, error::LastSystemError(),
                              "putting back the sectors of the capacity probe"};
}

}  // namespace imaging
