#include "layout/partition_layout.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <set>

namespace imaging {
namespace {

using Bytes = std::vector<std::byte>;

constexpr std::size_t kMbrTable = 446;
constexpr std::size_t kMbrEntrySize = 16;
constexpr std::uint8_t kProtectiveType = 0xEE;
// An extended partition's chain is never this long on a real card; a longer one is corrupt.
constexpr int kMostLogicalPartitions = 256;
constexpr std::uint32_t kGptHeaderMinimum = 92;
constexpr std::uint64_t kGptEntriesMost = 1 << 20;

std::uint32_t Le32(const std::byte* at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = value << 8 | std::to_integer<std::uint32_t>(at[i]);
    }
    return value;
}

std::uint64_t Le64(const std::byte* at) {
    return Le32(at) | std::uint64_t{Le32(at + 4)} << 32;
}

void PutLe32(std::byte* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::byte>(value >> (8 * i));
    }
}

void PutLe64(std::byte* at, std::uint64_t value) {
    PutLe32(at, static_cast<std::uint32_t>(value));
    PutLe32(at + 4, static_cast<std::uint32_t>(value >> 32));
}

std::uint32_t Crc32(const std::byte* data, std::size_t size) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
}

// A partition's sectors: [first, end).
struct Extent {
    std::uint64_t first = 0;
    std::uint64_t end = 0;
};

bool ReadSectors(const SectorReader& read, std::uint64_t lba, std::size_t count,
                 std::size_t sectorSize, Bytes& bytes) {
    bytes.assign(count * sectorSize, std::byte{0});
    return read(lba * sectorSize, bytes.data(), bytes.size());
}

bool HasBootSignature(const Bytes& sector) {
    return sector[510] == std::byte{0x55} && sector[511] == std::byte{0xAA};
}

struct MbrEntry {
    std::uint8_t type = 0;
    std::uint64_t first = 0;
    std::uint64_t count = 0;
};

MbrEntry EntryOf(const Bytes& sector, int index) {
    const std::byte* entry = sector.data() + kMbrTable + index * kMbrEntrySize;
    return {std::to_integer<std::uint8_t>(entry[4]), Le32(entry + 8), Le32(entry + 12)};
}

bool IsExtended(std::uint8_t type) {
    return type == 0x05 || type == 0x0F || type == 0x85;
}

// The logical partitions of the extended partition at `start`, following its chain of boot
// records, each of which places its partition relative to itself and the next record relative
// to the extended partition's start.
bool LogicalExtents(const SectorReader& read, std::size_t sectorSize, std::uint64_t start,
                    std::vector<Extent>& extents, std::string& why) {
    std::set<std::uint64_t> visited;
    for (std::uint64_t record = start; record != 0;) {
        if (!visited.insert(record).second || visited.size() > kMostLogicalPartitions) {
            why = "the extended partition's chain loops";
            return false;
        }
        Bytes sector;
        if (!ReadSectors(read, record, 1, sectorSize, sector) || !HasBootSignature(sector)) {
            why = "an extended boot record is unreadable";
            return false;
        }
        const MbrEntry logical = EntryOf(sector, 0);
        if (logical.type != 0 && logical.count != 0) {
            extents.push_back({record + logical.first, record + logical.first + logical.count});
        }
        const MbrEntry next = EntryOf(sector, 1);
        record = next.type != 0 && next.first != 0 ? start + next.first : 0;
    }
    return true;
}

bool CheckExtents(std::vector<Extent> extents, std::uint64_t sectors, std::string& why) {
    if (extents.empty()) {
        why = "no partitions";
        return false;
    }
    std::sort(extents.begin(), extents.end(),
              [](const Extent& a, const Extent& b) { return a.first < b.first; });
    for (std::size_t i = 0; i < extents.size(); ++i) {
        if (extents[i].end > sectors) {
            why = "a partition ends past the drive's end";
            return false;
        }
        if (i > 0 && extents[i].first < extents[i - 1].end) {
            why = "partitions overlap";
            return false;
        }
    }
    return true;
}

std::uint64_t LastEnd(const std::vector<Extent>& extents) {
    std::uint64_t end = 0;
    for (const Extent& extent : extents) {
        end = std::max(end, extent.end);
    }
    return end;
}

// A GPT header and its entry array, both with their CRCs right.
struct Gpt {
    Bytes header;  // one sector
    Bytes entries;
    std::uint64_t entriesBytes = 0;
};

bool ReadGpt(const SectorReader& read, std::size_t sectorSize, std::uint64_t lba, Gpt& gpt) {
    if (!ReadSectors(read, lba, 1, sectorSize, gpt.header) ||
        std::memcmp(gpt.header.data(), "EFI PART", 8) != 0) {
        return false;
    }
    const std::uint32_t headerSize = Le32(gpt.header.data() + 12);
    if (headerSize < kGptHeaderMinimum || headerSize > sectorSize ||
        Le64(gpt.header.data() + 24) != lba) {
        return false;
    }
    Bytes zeroed(gpt.header.begin(), gpt.header.begin() + headerSize);
    PutLe32(zeroed.data() + 16, 0);
    if (Crc32(zeroed.data(), headerSize) != Le32(gpt.header.data() + 16)) {
        return false;
    }
    const std::uint64_t count = Le32(gpt.header.data() + 80);
    const std::uint64_t entrySize = Le32(gpt.header.data() + 84);
    gpt.entriesBytes = count * entrySize;
    if (entrySize < 128 || gpt.entriesBytes == 0 || gpt.entriesBytes > kGptEntriesMost) {
        return false;
    }
    const std::size_t entriesSectors = (gpt.entriesBytes + sectorSize - 1) / sectorSize;
    return ReadSectors(read, Le64(gpt.header.data() + 72), entriesSectors, sectorSize,
                       gpt.entries) &&
           Crc32(gpt.entries.data(), gpt.entriesBytes) == Le32(gpt.header.data() + 88);
}

std::vector<Extent> GptExtents(const Gpt& gpt) {
    const std::uint64_t entrySize = Le32(gpt.header.data() + 84);
    std::vector<Extent> extents;
    for (std::uint64_t at = 0; at + entrySize <= gpt.entriesBytes; at += entrySize) {
        const std::byte* entry = gpt.entries.data() + at;
        const bool used =
            std::any_of(entry, entry + 16, [](std::byte b) { return b != std::byte{0}; });
        if (used) {
            extents.push_back({Le64(entry + 32), Le64(entry + 40) + 1});
        }
    }
    return extents;
}

void SetHeaderCrc(Bytes& header) {
    const std::uint32_t headerSize = Le32(header.data() + 12);
    PutLe32(header.data() + 16, 0);
    PutLe32(header.data() + 16, Crc32(header.data(), headerSize));
}

// The GPT moved to the image's new end: the primary header points at a backup written right after
// the last partition's entries, and the protective MBR entry covers the new length.
bool PlanGpt(const SectorReader& read, const Bytes& mbr, std::uint64_t sectors,
             std::size_t sectorSize, bool hybrid, PartitionsPlan& plan, std::string& why) {
    Gpt gpt;
    const bool primaryGood = ReadGpt(read, sectorSize, 1, gpt);
    if (!primaryGood && !ReadGpt(read, sectorSize, sectors - 1, gpt)) {
        why = "bad CRCs in both GPT headers";
        return false;
    }
    const std::vector<Extent> extents = GptExtents(gpt);
    if (!CheckExtents(extents, sectors, why)) {
        return false;
    }
    const std::uint64_t lastUsed = LastEnd(extents);
    const std::uint64_t entriesSectors = (gpt.entriesBytes + sectorSize - 1) / sectorSize;
    const std::uint64_t newSectors = lastUsed + entriesSectors + 1;
    if (newSectors >= sectors) {
        why = "the partitions reach the drive's end";
        return false;
    }
    Bytes primary = gpt.header;
    PutLe64(primary.data() + 24, 1);
    PutLe64(primary.data() + 32, newSectors - 1);
    PutLe64(primary.data() + 48, lastUsed - 1);
    PutLe64(primary.data() + 72, 2);
    SetHeaderCrc(primary);
    Bytes backup = primary;
    PutLe64(backup.data() + 24, newSectors - 1);
    PutLe64(backup.data() + 32, 1);
    PutLe64(backup.data() + 72, newSectors - 1 - entriesSectors);
    SetHeaderCrc(backup);

    plan.patches.push_back({sectorSize, primary});
    if (!primaryGood) {
        plan.patches.push_back({2 * sectorSize, gpt.entries});
    }
    if (!hybrid) {
        Bytes protective = mbr;
        for (int i = 0; i < 4; ++i) {
            if (EntryOf(mbr, i).type == kProtectiveType) {
                PutLe32(protective.data() + kMbrTable + i * kMbrEntrySize + 12,
                        static_cast<std::uint32_t>(
                            std::min<std::uint64_t>(newSectors - 1, 0xFFFFFFFF)));
            }
        }
        plan.patches.push_back({0, protective});
    }
    plan.tail = gpt.entries;
    plan.tail.resize(entriesSectors * sectorSize, std::byte{0});
    plan.tail.insert(plan.tail.end(), backup.begin(), backup.end());
    plan.driveBytes = lastUsed * sectorSize;
    plan.imageBytes = newSectors * sectorSize;
    plan.table = hybrid ? "hybrid MBR" : "GPT";
    return true;
}

bool PlanTable(const SectorReader& read, std::uint64_t driveLength, std::size_t sectorSize,
               PartitionsPlan& plan, std::string& why) {
    plan = {};
    const std::uint64_t sectors = driveLength / sectorSize;
    Bytes mbr;
    if (sectorSize < 512 || !ReadSectors(read, 0, 1, sectorSize, mbr)) {
        why = "the partition table is unreadable";
        return false;
    }
    if (!HasBootSignature(mbr)) {
        why = "no partition table";
        return false;
    }
    std::vector<Extent> extents;
    bool protective = false;
    bool others = false;
    for (int i = 0; i < 4; ++i) {
        const MbrEntry entry = EntryOf(mbr, i);
        if (entry.type == 0 || entry.count == 0) {
            continue;
        }
        protective = protective || entry.type == kProtectiveType;
        others = others || entry.type != kProtectiveType;
        if (IsExtended(entry.type)) {
            if (!LogicalExtents(read, sectorSize, entry.first, extents, why)) {
                return false;
            }
        } else if (entry.type != kProtectiveType) {
            extents.push_back({entry.first, entry.first + entry.count});
        }
    }
    if (protective) {
        return PlanGpt(read, mbr, sectors, sectorSize, others, plan, why);
    }
    if (!CheckExtents(extents, sectors, why)) {
        return false;
    }
    const std::uint64_t end = LastEnd(extents) * sectorSize;
    if (end >= driveLength) {
        why = "the partitions reach the drive's end";
        return false;
    }
    plan.driveBytes = end;
    plan.imageBytes = end;
    plan.table = "MBR";
    return true;
}

// The partitions of an MBR, primaries and the logical ones whose records `read` reaches.
bool MbrExtents(const SectorReader& read, const Bytes& mbr, std::size_t sectorSize,
                std::vector<Extent>& extents) {
    std::string why;
    for (int i = 0; i < 4; ++i) {
        const MbrEntry entry = EntryOf(mbr, i);
        if (entry.type == 0 || entry.count == 0) {
            continue;
        }
        if (IsExtended(entry.type)) {
            if (!LogicalExtents(read, sectorSize, entry.first, extents, why)) {
                return false;
            }
        } else {
            extents.push_back({entry.first, entry.first + entry.count});
        }
    }
    return true;
}

// An image's first bytes, read as the drive's: whole pieces within them, or nothing.
SectorReader ReaderOf(const Bytes& head) {
    return [&head](std::uint64_t offset, void* buffer, std::size_t size) {
        if (offset + size > head.size()) {
            return false;
        }
        std::memcpy(buffer, head.data() + offset, size);
        return true;
    };
}

void FitGpt(Bytes& head, const Bytes& mbr, std::uint64_t cardSectors, std::size_t sectorSize,
            CardTable& fit) {
    const SectorReader read = ReaderOf(head);
    Gpt gpt;
    if (!ReadGpt(read, sectorSize, 1, gpt)) {
        return;
    }
    fit.table = "GPT";
    fit.partitionsEnd = LastEnd(GptExtents(gpt)) * sectorSize;
    const std::uint64_t entriesSectors = (gpt.entriesBytes + sectorSize - 1) / sectorSize;
    const std::uint64_t lastSector = cardSectors - 1;
    if (Le64(gpt.header.data() + 32) == lastSector ||
        fit.partitionsEnd / sectorSize + entriesSectors + 1 > lastSector) {
        return;
    }
    Bytes primary = gpt.header;
    PutLe64(primary.data() + 32, lastSector);
    PutLe64(primary.data() + 48, lastSector - entriesSectors - 1);
    SetHeaderCrc(primary);
    Bytes backup = primary;
    PutLe64(backup.data() + 24, lastSector);
    PutLe64(backup.data() + 32, 1);
    PutLe64(backup.data() + 72, lastSector - entriesSectors);
    SetHeaderCrc(backup);
    std::copy(primary.begin(), primary.end(),
              head.begin() + static_cast<std::ptrdiff_t>(sectorSize));
    for (int i = 0; i < 4; ++i) {
        if (EntryOf(mbr, i).type == kProtectiveType) {
            PutLe32(head.data() + kMbrTable + i * kMbrEntrySize + 12,
                    static_cast<std::uint32_t>(std::min<std::uint64_t>(lastSector, 0xFFFFFFFF)));
        }
    }
    fit.backup = gpt.entries;
    fit.backup.resize(entriesSectors * sectorSize, std::byte{0});
    fit.backup.insert(fit.backup.end(), backup.begin(), backup.end());
    fit.backupAt = (lastSector - entriesSectors) * sectorSize;
}

}  // namespace

void FitTableToCard(std::vector<std::byte>& head, std::uint64_t cardLength, std::size_t sectorSize,
                    CardTable& fit) {
    fit = {};
    if (sectorSize < 512 || head.size() < sectorSize) {
        return;
    }
    const Bytes mbr(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(sectorSize));
    if (!HasBootSignature(mbr)) {
        return;
    }
    bool protective = false;
    for (int i = 0; i < 4; ++i) {
        protective = protective || EntryOf(mbr, i).type == kProtectiveType;
    }
    if (protective) {
        FitGpt(head, mbr, cardLength / sectorSize, sectorSize, fit);
        return;
    }
    const SectorReader read = ReaderOf(head);
    std::vector<Extent> extents;
    if (MbrExtents(read, mbr, sectorSize, extents) && !extents.empty()) {
        fit.table = "MBR";
        fit.partitionsEnd = LastEnd(extents) * sectorSize;
    }
}

error::Failure PlanPartitionsOnly(const SectorReader& read, std::uint64_t driveLength,
                                  std::size_t sectorSize, PartitionsPlan& plan) {
    std::string why;
    if (PlanTable(read, driveLength, sectorSize, plan, why)) {
        return {};
    }
    return {error::FailureReason::TableUnusable, 0, why};
}

}  // namespace imaging
