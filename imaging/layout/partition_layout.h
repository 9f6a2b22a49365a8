#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "failure.h"

namespace imaging {

// Bytes of the image that differ from the drive's: `bytes` at `offset`.
struct ImagePatch {
    std::uint64_t offset = 0;
    std::vector<std::byte> bytes;
};

// How an image of only the partitions is made: the drive's first `driveBytes`, with `patches`
// laid over them, followed by `tail` (a GPT's backup entries and header at the image's new end).
// `imageBytes` is the whole image: the smallest drive it can be restored to.
struct PartitionsPlan {
    std::uint64_t driveBytes = 0;
    std::vector<ImagePatch> patches;
    std::vector<std::byte> tail;
    std::uint64_t imageBytes = 0;
    std::string table;  // "GPT", "MBR", "hybrid MBR"
};

// Reads `size` bytes of the drive at `offset`; false when they cannot be read.
using SectorReader = std::function<bool(std::uint64_t offset, void* buffer, std::size_t size)>;

// The plan for an image of the partitions of a drive of `driveLength` bytes with sectors of
// `sectorSize` bytes. TableUnusable, saying why in a few words, when the table is missing,
// unreadable or inconsistent (bad CRCs in both GPT headers, overlapping partitions, one past the
// drive's end, a loop in the chain of extended boot records): the whole drive must then be
// imaged.
error::Failure PlanPartitionsOnly(const SectorReader& read, std::uint64_t driveLength,
                                  std::size_t sectorSize, PartitionsPlan& plan);

// A partition table as it goes onto a card: where its partitions end, and for a GPT, the backup
// (entries, then header) that belongs in the card's last sectors, at `backupAt`.
struct CardTable {
    std::string table;                // "GPT", "MBR", or empty: none found
    std::uint64_t partitionsEnd = 0;  // bytes; 0 where not known
    std::vector<std::byte> backup;
    std::uint64_t backupAt = 0;
};

// Reads the table in `head`, an image's first bytes. A GPT is fitted to a card of `cardLength`
// bytes: in `head`, the primary header's backup and last usable LBA and the protective MBR
// entry are set to the card's size, with the CRCs made anew, and `fit.backup` is the backup for
// the card's end.
void FitTableToCard(std::vector<std::byte>& head, std::uint64_t cardLength, std::size_t sectorSize,
                    CardTable& fit);

}  // namespace imaging
