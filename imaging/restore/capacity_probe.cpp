#include "restore/capacity_probe.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "drive.h"
#include "drive_reads.h"
#include "drive_writes.h"
#include "outcome/numbers.h"
#include "positioned_io.h"
#include "stage/buffer_ring.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

namespace {

// Marks at every 64th of the card, so a wrap at any k/64 of its length lands one mark on
// another; at every power of two, where real flash chips end; and on its last sectors.
constexpr std::uint64_t kGrid = 64;
constexpr std::uint64_t kLastSectors = 8;

using Sector = std::unique_ptr<std::byte[], AlignedDelete>;

Sector NewSector(std::size_t size) {
    return Sector(static_cast<std::byte*>(::operator new[](size, kBufferAlignment)));
}

// The platform's error of one sector's transfer; 0 when it moved whole, or when a read ended
// short at what the card takes for its end (its mark is then simply not there).
int Transfer(io::Direction direction, const CardToWrite& card, std::byte* data,
             std::uint64_t offset, bool& whole) {
    const io::Completion done =
        io::TransferNow({direction, card.direct, data, card.sectorSize, offset, 0});
    whole = done.error == 0 && done.done == card.sectorSize;
    return done.error;
}

// A number of this run's own, so no earlier run's mark, and no content, is taken for one.
std::uint64_t RunNumber() {
    std::random_device device;
    return (std::uint64_t{device()} << 32 ^ device()) ^
           static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}

// The mark of the sector at `offset` in this run: the offset and the run's number, over and over.
void Mark(std::byte* sector, std::size_t size, std::uint64_t offset, std::uint64_t run) {
    const std::uint64_t words[2] = {offset, run};
    for (std::size_t at = 0; at + sizeof words <= size; at += sizeof words) {
        std::memcpy(sector + at, words, sizeof words);
    }
}

// The offset whose mark of this run `sector` holds, if it holds one whole.
std::optional<std::uint64_t> MarkIn(const std::byte* sector, std::size_t size, std::uint64_t run,
                                    std::byte* scratch) {
    std::uint64_t words[2] = {};
    std::memcpy(words, sector, sizeof words);
    if (words[1] != run) {
        return std::nullopt;
    }
    Mark(scratch, size, words[0], run);
    return std::memcmp(sector, scratch, size) == 0 ? std::optional(words[0]) : std::nullopt;
}

// The sectors at `offsets` are saved, given their marks in that order, read back straight from
// the card and put back. `found[i]`: whose mark offsets[i] read back. The first read or write
// that failed is the answer, at its byte; the sectors it could not put back go to `notPutBack`.
Failure MarkAndReadBack(const CardToWrite& card, const std::vector<std::uint64_t>& offsets,
                        std::vector<std::optional<std::uint64_t>>& found,
                        std::vector<std::uint64_t>& notPutBack) {
    const std::uint64_t run = RunNumber();
    const std::size_t size = card.sectorSize;
    Failure failure;
    const auto failed = [&](int error, FailureReason reason, std::uint64_t offset) {
        if (error != 0 && !failure) {
            failure = {reason, error, "during the capacity probe", offset};
        }
        return error != 0;
    };
    std::vector<Sector> saved;
    std::vector<bool> marked(offsets.size(), false);
    std::vector<bool> savedWhole(offsets.size(), false);
    bool whole = false;
    for (std::size_t at = 0; at < offsets.size(); ++at) {
        saved.push_back(NewSector(size));
        if (!failure) {
            failed(Transfer(io::Direction::Read, card, saved.back().get(), offsets[at], whole),
                   FailureReason::ReadError, offsets[at]);
            savedWhole[at] = whole;
        }
    }
    // Only a sector that was saved whole is marked, so each marked one can be put back; one the
    // card did not give whole has lost its mark.
    const Sector sector = NewSector(size);
    for (std::size_t at = 0; at < offsets.size() && !failure; ++at) {
        if (!savedWhole[at]) {
            continue;
        }
        Mark(sector.get(), size, offsets[at], run);
        marked[at] = true;
        failed(Transfer(io::Direction::Write, card, sector.get(), offsets[at], whole),
               FailureReason::WriteError, offsets[at]);
    }
    if (!failure) {
        failed(drive::FlushDrive(card.direct).error, FailureReason::FlushFailed, 0);
    }
    drive::ForgetCachedReads(card.direct);
    const Sector scratch = NewSector(size);
    found.assign(offsets.size(), std::nullopt);
    for (std::size_t at = 0; at < offsets.size() && !failure; ++at) {
        if (!failed(Transfer(io::Direction::Read, card, sector.get(), offsets[at], whole),
                    FailureReason::ReadError, offsets[at]) &&
            whole) {
            found[at] = MarkIn(sector.get(), size, run, scratch.get());
        }
    }
    // Where offsets alias, both were saved as the same sector before anything was written.
    int putBackError = 0;
    for (std::size_t at = 0; at < offsets.size(); ++at) {
        if (!marked[at]) {
            continue;
        }
        const int error = Transfer(io::Direction::Write, card, saved[at].get(), offsets[at], whole);
        if (error != 0 || !whole) {
            putBackError = putBackError != 0 ? putBackError : error;
            notPutBack.push_back(offsets[at]);
        }
    }
    const Failure flushed = drive::FlushDrive(card.direct);
    // Where the sectors put back may not have reached the card, none of them counts as back.
    if (flushed) {
        notPutBack.clear();
        for (std::size_t at = 0; at < offsets.size(); ++at) {
            if (marked[at]) {
                notPutBack.push_back(offsets[at]);
            }
        }
    }
    if (!failure && !notPutBack.empty() && !flushed) {
        failure = {FailureReason::WriteError, putBackError,
                   "putting back the sectors of the capacity probe", notPutBack.front()};
    }
    if (!failure && flushed) {
        failure = error::InContext(flushed, "putting back the sectors of the capacity probe");
    }
    std::sort(notPutBack.begin(), notPutBack.end());
    return failure;
}

std::vector<std::uint64_t> ProbeOffsets(const CardToWrite& card) {
    const std::uint64_t sectors = card.length / card.sectorSize;
    std::vector<std::uint64_t> offsets;
    for (std::uint64_t part = 0; part < kGrid; ++part) {
        offsets.push_back(sectors * part / kGrid * card.sectorSize);
    }
    for (std::uint64_t power = card.sectorSize; power < card.length; power *= 2) {
        offsets.push_back(power);
    }
    for (std::uint64_t last = 1; last <= std::min(kLastSectors, sectors); ++last) {
        offsets.push_back((sectors - last) * card.sectorSize);
    }
    std::sort(offsets.begin(), offsets.end());
    offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
    return offsets;
}

}  // namespace

Failure ProbeCapacity(const CardToWrite& card, std::vector<std::uint64_t>& notPutBack) {
    // Written from the last down, so where a high offset lands on a low one, the low one's mark
    // is the one left, and the high one is found out when read back.
    std::vector<std::uint64_t> offsets = ProbeOffsets(card);
    std::reverse(offsets.begin(), offsets.end());
    std::vector<std::optional<std::uint64_t>> found;
    if (Failure failure = MarkAndReadBack(card, offsets, found, notPutBack)) {
        return failure;
    }
    // The card holds less than the first offset, from the lowest up, that lost its mark; a wrap
    // on the grid or a power of two is exactly there.
    std::uint64_t holds = card.length;
    for (std::size_t at = offsets.size(); at > 0; --at) {
        if (found[at - 1] != offsets[at - 1]) {
            holds = offsets[at - 1];
            break;
        }
    }
    if (holds == card.length) {
        return {};
    }
    return {FailureReason::CardHoldsLess, 0,
            "it reports " + drive::DecimalGigabytes(card.length) + " (" +
                GroupedNumber(card.length) + " bytes) but holds only about " +
                drive::DecimalGigabytes(holds) + " (" + GroupedNumber(holds) + " bytes)"};
}

}  // namespace imaging
