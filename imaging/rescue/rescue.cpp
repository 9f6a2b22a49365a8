#include "rescue/rescue.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>

#include "drive_reads.h"
#include "image/image_file.h"
#include "read/drive_watch.h"
#include "rescue/rescue_map.h"
#include "rescue/rescue_source_check.h"
#include "stage/buffer_ring.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

namespace {

using Clock = std::chrono::steady_clock;

// Reads of the first passes: as large as a read that fails costs little to trim sector by
// sector, as recovery tools read by default.
constexpr std::size_t kBlock = 64 * 1024;

// After a failed read the first pass jumps this far ahead, twice as far after each further
// failure, up to a thousandth of the drive (at least kMinimumMaxSkip): a dying area is left for
// later after a few reads, whatever its size.
constexpr std::uint64_t kFirstSkip = 64 * 1024;
constexpr std::uint64_t kMinimumMaxSkip = 1 << 20;

// How often the map is brought up to date while the rescue goes on.
constexpr auto kMapInterval = std::chrono::seconds(5);

class Rescuer {
public:
    Rescuer(const StageLink& run, const RescueTask& task, drive::DriveHandle device,
            std::uint64_t capacity, std::uint64_t domain, std::size_t sectorSize, ImageFile& image,
            RescueMap& map)
        : m_run(run),
          m_retries(task.retries),
          m_device(device),
          m_domain(domain),
          m_sectorSize(sectorSize),
          m_image(image),
          m_map(map),
          m_watch(device, capacity, task.expected, sectorSize),
          m_buffer(static_cast<std::byte*>(::operator new[](kBlock, kBufferAlignment))),
          m_maxSkip(std::max(kMinimumMaxSkip, domain / 1000)) {}

    Failure Run() {
        Failure failure = Copy(1, true);
        failure = failure ? failure : Copy(2, false);
        failure = failure ? failure : Trim();
        failure = failure ? failure : Scrape();
        for (int pass = 1; pass <= m_retries && !failure; ++pass) {
            failure = Retry(pass);
        }
        return failure;
    }

    // Only where the image is written under its own name: a replacement is thrown away on any
    // failure, and its map with it.
    Failure SaveMap() {
        m_lastSave = Clock::now();
        return m_image.InPlace() ? m_image.SaveSideFile({kMapSuffix, m_map.Format()}) : Failure{};
    }

private:
    // The first passes: each area not tried yet, a block at a time, straight from the drive, as
    // read-ahead would ask a failing area for much more than one read. A block that fails is
    // left to trimming; the first pass then skips ahead.
    Failure Copy(int pass, bool skipping) {
        std::uint64_t skip = kFirstSkip;
        ByteRange area;
        for (std::uint64_t from = 0; m_map.Find(AreaStatus::NonTried, from, m_domain, area);) {
            const std::size_t size = std::min<std::uint64_t>(kBlock, area.size);
            std::size_t got = 0;
            const Failure failed =
                drive::ReadDriveDirect(m_device, m_buffer.get(), size, area.offset, got);
            if (!failed && got == 0) {
                return {FailureReason::DriveEndedEarly, 0, {}};
            }
            if (!failed) {
                if (Failure failure = Keep(area.offset, got)) {
                    return failure;
                }
                from = area.offset + got;
                skip = kFirstSkip;
            } else {
                if (Failure gone = Gone(failed)) {
                    return gone;
                }
                m_map.Mark({area.offset, size}, AreaStatus::NonTrimmed);
                from = area.offset + size + (skipping ? skip : 0);
                skip = std::min(skip * 2, m_maxSkip);
            }
            if (Failure failure = Tick(RescuePhase::Copying, pass, from)) {
                return failure;
            }
        }
        return {};
    }

    // Each failed block is read sector by sector from its start up to a bad sector, and from its
    // end back down to one; what lies between is left to scraping.
    Failure Trim() {
        ByteRange area;
        for (std::uint64_t from = 0; m_map.Find(AreaStatus::NonTrimmed, from, m_domain, area);) {
            std::uint64_t begin = area.offset;
            std::uint64_t end = area.offset + area.size;
            from = end;
            while (begin < end) {
                std::size_t done = 0;
                const std::size_t size = std::min<std::uint64_t>(kBlock, end - begin);
                const Failure failed = drive::ReadUntilBadSector(m_device, m_buffer.get(), begin,
                                                                 size, m_sectorSize, done);
                if (Failure failure = done > 0 ? Keep(begin, done) : Failure{}) {
                    return failure;
                }
                begin += done;
                if (failed) {
                    if (Failure failure = Bad(failed, begin, end - begin)) {
                        return failure;
                    }
                    begin += std::min<std::uint64_t>(m_sectorSize, end - begin);
                    break;
                }
            }
            while (begin < end) {
                const std::size_t piece = std::min<std::uint64_t>(m_sectorSize, end - begin);
                std::size_t done = 0;
                const Failure failed = drive::ReadUntilBadSector(
                    m_device, m_buffer.get(), end - piece, piece, m_sectorSize, done);
                if (Failure failure =
                        failed ? Bad(failed, end - piece, piece) : Keep(end - piece, piece)) {
                    return failure;
                }
                end -= piece;
                if (failed) {
                    break;
                }
            }
            m_map.Mark({begin, end - begin}, AreaStatus::NonScraped);
            if (Failure failure = Tick(RescuePhase::Trimming, 1, from)) {
                return failure;
            }
        }
        return {};
    }

    // Every sector between the trimmed edges, once.
    Failure Scrape() {
        ByteRange area;
        for (std::uint64_t from = 0; m_map.Find(AreaStatus::NonScraped, from, m_domain, area);) {
            std::size_t done = 0;
            const std::size_t size = std::min<std::uint64_t>(kBlock, area.size);
            const Failure failed = drive::ReadUntilBadSector(m_device, m_buffer.get(), area.offset,
                                                             size, m_sectorSize, done);
            if (Failure failure = done > 0 ? Keep(area.offset, done) : Failure{}) {
                return failure;
            }
            from = area.offset + done;
            if (failed) {
                if (Failure failure = Bad(failed, from, area.size - done)) {
                    return failure;
                }
                from += std::min<std::uint64_t>(m_sectorSize, area.size - done);
            }
            if (Failure failure = Tick(RescuePhase::Scraping, 1, from)) {
                return failure;
            }
        }
        return {};
    }

    // Each bad sector once more.
    Failure Retry(int pass) {
        ByteRange area;
        for (std::uint64_t from = 0; m_map.Find(AreaStatus::BadSector, from, m_domain, area);) {
            const std::size_t piece = std::min<std::uint64_t>(m_sectorSize, area.size);
            std::size_t done = 0;
            const Failure failed = drive::ReadUntilBadSector(m_device, m_buffer.get(), area.offset,
                                                             piece, m_sectorSize, done);
            if (Failure failure = failed ? Gone(failed) : Keep(area.offset, piece)) {
                return failure;
            }
            from = area.offset + piece;
            if (Failure failure = Tick(RescuePhase::Retrying, pass, from)) {
                return failure;
            }
        }
        return {};
    }

    // The `size` bytes read into the buffer belong at `offset` of the image.
    Failure Keep(std::uint64_t offset, std::size_t size) {
        if (Failure failure = m_image.FillAt(offset, m_buffer.get(), size)) {
            return failure;
        }
        m_map.Mark({offset, size}, AreaStatus::Finished);
        m_watch.ReadWell(offset, size);
        return {};
    }

    // The sector at `offset` failed on its own; `left` bytes of its area remain from there.
    Failure Bad(const Failure& failed, std::uint64_t offset, std::uint64_t left) {
        if (Failure gone = Gone(failed)) {
            return gone;
        }
        m_map.Mark({offset, std::min<std::uint64_t>(m_sectorSize, left)}, AreaStatus::BadSector);
        return {};
    }

    Failure Gone(const Failure& failed) {
        if (m_watch.IsGone(failed)) {
            return {FailureReason::DriveRemoved, failed.error, "the drive stopped answering"};
        }
        return {};
    }

    Failure Tick(RescuePhase phase, int pass, std::uint64_t position) {
        m_map.SetPosition(position, phase, pass);
        m_run.SetDone(m_map.BytesWith(AreaStatus::Finished) +
                      m_map.BytesWith(AreaStatus::BadSector));
        if (m_run.Cancelled()) {
            return {FailureReason::Cancelled, 0, {}};
        }
        return Clock::now() - m_lastSave >= kMapInterval ? SaveMap() : Failure{};
    }

    const StageLink& m_run;
    int m_retries;
    drive::DriveHandle m_device;
    std::uint64_t m_domain;  // the drive's bytes to rescue: [0, m_domain)
    std::size_t m_sectorSize;
    ImageFile& m_image;
    RescueMap& m_map;
    DriveWatch m_watch;
    std::unique_ptr<std::byte[], AlignedDelete> m_buffer;
    std::uint64_t m_maxSkip;
    Clock::time_point m_lastSave = Clock::now();
};

// The plan's changes and tail, once the drive's part is in: they are the image's own bytes.
Failure LayPlanOver(ImageFile& image, const PartitionsPlan& plan, RescueMap& map) {
    for (const ImagePatch& patch : plan.patches) {
        if (Failure failure = image.WriteAt(patch.offset, patch.bytes.data(), patch.bytes.size())) {
            return failure;
        }
        map.Mark({patch.offset, patch.bytes.size()}, AreaStatus::Finished);
    }
    if (Failure failure = image.WriteAt(plan.driveBytes, plan.tail.data(), plan.tail.size())) {
        return failure;
    }
    map.Mark({plan.driveBytes, plan.tail.size()}, AreaStatus::Finished);
    return {};
}

// The checksum file names the drive's content only where every byte of it was read.
Failure CommitRescue(ImageFile& image, RescueMap& map, const PartitionsPlan* plan,
                     const RecordText& record, RescueFindings& found) {
    map.SetPosition(0, RescuePhase::Finished, 1);
    if (Failure failure = image.ReadBackSha256(found.fileSha256)) {
        return failure;
    }
    found.whole = map.BytesWith(AreaStatus::Finished) == found.imaged;
    found.imageBytes = image.Length();
    const std::string& sha256 = found.fileSha256;
    std::string checksums =
        found.whole
            ? ChecksumFile(sha256, image.Name(), sha256, found.imaged)
            : ChecksumLine(sha256, image.Name()) + "# " + std::to_string(found.unreadableBytes) +
                  " bytes unreadable, written as zeros: see " + image.Name() + kMapSuffix + "\n";
    if (plan != nullptr) {
        checksums += PartitionsOnlyLine(plan->table, found.imaged);
    }
    if (Failure failure = image.Commit({{kChecksumSuffix, checksums},
                                        {kMapSuffix, map.Format()},
                                        {kInfoSuffix, record(found)}})) {
        return failure;
    }
    found.complete = true;
    return {};
}

}  // namespace

Failure RescueDrive(const StageLink& run, const RescueTask& task, drive::DriveHandle device,
                    std::uint64_t capacity, std::size_t sectorSize, const PartitionsPlan* plan,
                    const RecordText& record, RescueFindings& found) {
    found = {};
    if (task.format != ImageFormat::Raw) {
        return {FailureReason::ImageRefused, 0,
                "a rescue writes a raw image, which it fills in as sectors come"};
    }
    const std::uint64_t imaged = plan != nullptr ? plan->imageBytes : capacity;
    found.imaged = imaged;
    ImageFile image;
    std::string earlierMap;
    if (Failure failure = image.OpenToRescue(task.imagePath, device, imaged,
                                             RescueMap::LongestText(imaged), earlierMap)) {
        return failure;
    }
    RescueMap map(imaged);
    // Every check passes before the first byte of an existing image changes.
    if (!earlierMap.empty()) {
        if (Failure failure = RescueMap::Parse(earlierMap, imaged, map)) {
            return error::InContext(failure, image.Name() + kMapSuffix);
        }
        if (Failure failure = CheckSameSource(device, sectorSize, map, plan, image)) {
            return failure;
        }
    }
    map.SetSource(SourceMark(device));
    if (Failure failure = image.Reserve(imaged)) {
        return failure;
    }
    // The image is about to change, so its old checksum would be false.
    if (!earlierMap.empty()) {
        image.RemoveSideFile(kChecksumSuffix);
    }
    run.Begin();
    Rescuer rescuer(run, task, device, capacity, plan != nullptr ? plan->driveBytes : capacity,
                    sectorSize, image, map);
    Failure failure = rescuer.Run();
    if (!failure && plan != nullptr) {
        failure = LayPlanOver(image, *plan, map);
    }
    found.unreadable = map.AreasWith(AreaStatus::BadSector);
    found.unreadableBytes = map.BytesWith(AreaStatus::BadSector);
    if (!failure) {
        failure = CommitRescue(image, map, plan, record, found);
    }
    if (failure) {
        // The run has failed whatever this does: it only keeps the map true where it can.
        (void)rescuer.SaveMap();
    }
    return failure;
}

}  // namespace imaging
