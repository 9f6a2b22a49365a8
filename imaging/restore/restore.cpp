#include "restore/restore.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "drive_details.h"
#include "drive_reads.h"
#include "drive_writes.h"
#include "image/image_file.h"
#include "layout/partition_layout.h"
#include "outcome/numbers.h"
#include "positioned_io.h"
#include "read/confirmed_drive.h"
#include "read/drive_reader.h"
#include "read/drive_watch.h"
#include "restore/block_map_check.h"
#include "restore/capacity_probe.h"
#include "restore/card_compare.h"
#include "restore/card_writer.h"
#include "restore/image_facts.h"
#include "restore/image_passes.h"
#include "restore/image_source.h"
#include "restore/published_checksum.h"
#include "restore/shared_decode.h"
#include "restore/source_reader.h"
#include "restore/written_ranges.h"
#include "scoped_drive.h"
#include "stage/buffer_ring.h"
#include "stage/pass.h"

namespace imaging {
namespace {

using error::Failure;
using error::FailureReason;

// Nothing but zeros in the raw image at `path` from `from` to its end.
bool ZeroFrom(const std::string& path, std::uint64_t from) {
    ImageHandle file;
    if (OpenToRead(path, file) || PositionAt(file, from)) {
        return false;
    }
    std::vector<std::byte> chunk(kRunBufferSize);
    for (std::size_t got = 1; got > 0;) {
        if (ReadSome(file, chunk.data(), chunk.size(), got) ||
            (got > 0 && !IsZero(chunk.data(), got))) {
            return false;
        }
    }
    return true;
}

// An image longer than the card goes on it only where what is cut off is nothing the card needs:
// it lies past the last partition, or it is all zeros.
Failure CheckFits(const std::string& path, const ImageFacts& facts, std::uint64_t capacity,
                  const CardTable& table) {
    if (!facts.length || *facts.length <= capacity) {
        return {};
    }
    if (table.partitionsEnd != 0 && table.partitionsEnd <= capacity) {
        return {};
    }
    if (facts.format == ImageFormat::Raw && ZeroFrom(path, capacity)) {
        return {};
    }
    const std::uint64_t over = *facts.length - capacity;
    return {FailureReason::ImageTooLarge, 0,
            "by " + GroupedNumber(over) + " bytes (" + Megabytes(over) + ")"};
}

// Everything that can refuse the run, on the card opened for reading only: so a refusal writes
// nothing. `card` is then the card's description.
Failure CheckCard(const RestoreTask& task, drive::DriveHandle handle, drive::Drive& card) {
    if (drive::IsRemovableDrive(handle) == 0) {
        return {FailureReason::NotRemovable, 0, {}};
    }
    card = drive::DescribeOpenDrive(handle, task.card.node);
    const std::uint64_t capacity = drive::DriveCapacity(handle);
    card.length = capacity;
    if (capacity == 0) {
        return {FailureReason::CapacityUnknown, 0, {}};
    }
    if (Failure changed = CheckConfirmedDrive(handle, task.card)) {
        return changed;
    }
    if (const std::string why = drive::UsedBySystem(card); !why.empty()) {
        return {FailureReason::DriveInUse, 0, why};
    }
    const std::filesystem::path image(task.imagePath);
    const std::filesystem::path folder = image.parent_path().empty() ? "." : image.parent_path();
    TargetFolder imageFolder;
    if (imageFolder.Open(folder, handle) || FileIsOn(image, handle)) {
        return {FailureReason::ImageRefused, 0,
                image.filename().string() + " lies on the card it would be written to"};
    }
    if (card.readOnly || drive::IsWriteProtected(handle)) {
        return {FailureReason::WriteProtected, 0, {}};
    }
    return {};
}

// Writes `bytes` at `offset` of the card, from aligned memory and filled up to whole sectors.
Failure WriteSectors(const CardToWrite& card, const std::vector<std::byte>& bytes,
                     std::uint64_t offset) {
    const std::size_t size =
        (bytes.size() + card.sectorSize - 1) / card.sectorSize * card.sectorSize;
    const std::unique_ptr<std::byte[], AlignedDelete> aligned(
        static_cast<std::byte*>(::operator new[](size, kBufferAlignment)));
    std::copy(bytes.begin(), bytes.end(), aligned.get());
    std::fill(aligned.get() + bytes.size(), aligned.get() + size, std::byte{0});
    const io::Completion written =
        io::TransferNow({io::Direction::Write, card.direct, aligned.get(), size, offset, 0});
    return written.error == 0
               ? Failure{}
               : Failure{FailureReason::WriteError, written.error,
                         "writing the partition table at byte " + GroupedNumber(offset)};
}

// The table area and the card's last MiB, where a GPT keeps its backup, become zeros before
// anything else is written, so until the new table goes on last no old table describes
// half-written partitions.
Failure ClearTables(const CardToWrite& card) {
    const std::vector<std::byte> zeros(std::min<std::uint64_t>(kTableArea, card.length));
    if (Failure failure = WriteSectors(card, zeros, 0)) {
        return failure;
    }
    if (Failure failure = WriteSectors(card, zeros, card.length - zeros.size())) {
        return failure;
    }
    return drive::FlushDrive(card.direct);
}

// The image for one of the passes that read it from its first byte: a compressed one through
// the decode the cards of a batch share, where they share one; else read on its own.
Failure OpenPassSource(const RestoreTask& task, ImageFormat format, SharedPass pass,
                       std::unique_ptr<ImageSource>& source) {
    if (task.settings.sharedDecode != nullptr && format != ImageFormat::Raw) {
        return task.settings.sharedDecode->Open(pass, format, source);
    }
    return OpenImageSource(task.imagePath, format, source, task.settings.sharedImage);
}

// The image's bytes onto the card, all but the table area; the table is fitted and written once
// everything else is on the card.
struct Written {
    std::uint64_t bytes = 0;  // of the image, as it was read
    std::string sha256;
    std::uint64_t pastCardEnd = 0;
    bool pastCardEndHeldData = false;
    std::uint64_t leftAsItWas = 0;
    std::vector<std::byte> head;
    std::string queueNote;
    std::string alsoHash;  // of the published checksum's kind, where it is not SHA-256
};

Failure WriteImage(const StageLink& run, const RestoreTask& task, const ImageFacts& facts,
                   const ByteRanges& ranges, const CardToWrite& card, std::uint64_t partitionsEnd,
                   Written& written) {
    std::unique_ptr<ImageSource> source;
    if (Failure failure = OpenPassSource(task, facts.format, SharedPass::Write, source)) {
        return failure;
    }
    run.Begin();
    BufferRing ring(task.ringBuffers, kRunBufferSize, run.Times());
    const bool alsoHash =
        facts.published && !ChecksBeforeWriting(facts) && facts.published->kind != HashKind::Sha256;
    std::optional<BlockMapCheck> check;
    if (facts.blockMap) {
        check.emplace(*facts.blockMap);
    }
    // Only the whole image's hash says anything: it is taken where it is checked or shown.
    const bool hashAll = IsEverything(ranges) || (facts.published && !ChecksBeforeWriting(facts)) ||
                         !facts.driveSha256.empty();
    SourceReader reader(
        run, *source, ring,
        {ranges, hashAll, alsoHash ? std::optional(facts.published->kind) : std::nullopt,
         check ? &*check : nullptr});
    CardWriter writer(card, partitionsEnd, task.settings.skipEmpty,
                      facts.blockMap ? &*facts.blockMap : nullptr, run.Times());
    const Failure failure = RunPass(
        run, ring, [&] { reader.Run(); }, writer);
    written.queueNote = writer.Queue()->fellBack;
    if (failure) {
        return failure;
    }
    written.bytes = reader.Bytes();
    // What was not read lies in holes: on the card it keeps the old content; past the card's
    // end it is counted there, as what was read past it is.
    const std::uint64_t onCard = std::min(written.bytes, card.length);
    const std::uint64_t readOnCard = BytesIn(Joined(ranges, 0, 1, card.length));
    written.pastCardEnd = written.bytes - onCard;
    written.pastCardEndHeldData = writer.PastCardEndHeldData();
    written.leftAsItWas = writer.LeftAsItWas() + (onCard - std::min(onCard, readOnCard));
    written.head = std::move(writer.Head());
    if (Failure failure = reader.FinishAlsoDigest(written.alsoHash)) {
        return failure;
    }
    return reader.FinishDigest(written.sha256);
}

Failure WriteTable(const CardToWrite& card, const std::vector<std::byte>& head,
                   const CardTable& table) {
    // Everything else must be on the card before the table that describes it.
    if (Failure failure = drive::FlushDrive(card.direct)) {
        return failure;
    }
    if (!table.backup.empty()) {
        if (Failure failure = WriteSectors(card, table.backup, table.backupAt)) {
            return failure;
        }
    }
    if (Failure failure = WriteSectors(card, head, 0)) {
        return failure;
    }
    return drive::FlushDrive(card.direct);
}

// Reads the card back from the card itself, from its start to the sector in which the image's
// `imageBytes` end (or only the `ranges` written), and compares it with the image as it was
// written; `cardSha256` is the hash of the bytes read where they are the card's first
// `cardBytes`.
Failure VerifyCard(const StageLink& run, const RestoreTask& task, ImageFormat format,
                   const CardToWrite& card, std::uint64_t imageBytes, const ByteRanges& ranges,
                   const std::vector<std::byte>& head, const CardTable& table, const BlockMap* map,
                   std::uint64_t& cardBytes, std::string& cardSha256) {
    run.Verifying();
    cardBytes = std::min<std::uint64_t>(
        (imageBytes + card.sectorSize - 1) / card.sectorSize * card.sectorSize, card.length);
    const ByteRanges read = Joined(IsEverything(ranges) ? ByteRanges{{0, cardBytes}} : ranges, 0,
                                   card.sectorSize, cardBytes);
    run.SetTotal(BytesIn(read));
    std::unique_ptr<ImageSource> image;
    if (Failure failure = OpenPassSource(task, format, SharedPass::Verify, image)) {
        return failure;
    }
    drive::ForgetCachedReads(card.direct);
    run.Begin();
    BufferRing ring(task.ringBuffers, kRunBufferSize);
    DriveReader reader(run, card.direct, task.card.identity, cardBytes, card.sectorSize, ring,
                       nullptr);
    reader.ReadOnly(read);
    CardCompare compare(*image, imageBytes, head, table, card, task.settings.skipEmpty, map,
                        [&run] { return run.Cancelled(); });
    if (Failure failure = RunPass(
            run, ring, [&] { reader.Run(); }, compare)) {
        return failure.reason == FailureReason::CardHoldsLess ||
                       failure.reason == FailureReason::ImageChanged
                   ? failure
                   : error::InContext(failure, "reading the card back");
    }
    // Only the card's first bytes read whole make a hash anyone can take again.
    if (!IsEverything(ranges)) {
        cardBytes = BytesIn(read);
        cardSha256.clear();
        return {};
    }
    return reader.FinishDigest(cardSha256);
}

// The image's length now, where its file is its content: it must still be what was written.
Failure CheckUnchanged(const RestoreTask& task, const ImageFacts& facts, const Written& written) {
    std::error_code error;
    const std::uint64_t now = std::filesystem::file_size(task.imagePath, error);
    const bool same = written.bytes == facts.length &&
                      (facts.format != ImageFormat::Raw || (!error && now == facts.length));
    if (same) {
        return {};
    }
    return {
        FailureReason::ImageChanged, 0,
        GroupedNumber(*facts.length) + " bytes when it was checked, " +
            GroupedNumber(written.bytes) + " bytes as it was read" +
            (facts.format == ImageFormat::Raw && !error ? ", " + GroupedNumber(now) + " bytes now"
                                                        : std::string())};
}

// When the image file was last written to, where the file system tells.
std::optional<std::filesystem::file_time_type> LastWritten(const std::string& path) {
    std::error_code error;
    const std::filesystem::file_time_type when = std::filesystem::last_write_time(path, error);
    return error ? std::nullopt : std::optional(when);
}

// A file written to since the restore began may no longer hold what went on the card, or what
// the verify compared it with, whatever its length says.
Failure CheckNotWrittenTo(const RestoreTask& task,
                          const std::optional<std::filesystem::file_time_type>& began,
                          const char* during) {
    if (LastWritten(task.imagePath) == began) {
        return {};
    }
    return {FailureReason::ImageChanged, 0,
            std::string("it was written to or replaced while ") + during};
}

// "card.img.xz differs from the published SHA-256 in card.img.xz.sha256".
Failure Differs(const RestoreTask& task, const PublishedChecksum& published) {
    return {FailureReason::ImageDamaged, 0,
            std::filesystem::path(task.imagePath).filename().string() +
                " differs from the published " + ChecksumName(published.kind) +
                (published.source == "--expect-sha256" ? " given by --expect-sha256"
                                                       : " in " + published.source)};
}

// A checksum of the compressed file as it lies is checked by reading it once, before anything
// is written.
Failure CheckFileBeforeWriting(const StageLink& run, const RestoreTask& task,
                               const ImageFacts& facts) {
    if (!ChecksBeforeWriting(facts)) {
        return {};
    }
    run.CheckingImage(true);
    run.SetTotal(facts.fileBytes);
    std::string hex;
    if (Failure failure = HashImageFile(run, task.imagePath, facts.published->kind, hex)) {
        return failure;
    }
    return hex == facts.published->hex ? Failure{} : Differs(task, *facts.published);
}

// What was written, checked against a checksum of the bytes as written (a raw file's, or the
// decoded content's).
Failure CheckWritten(const RestoreTask& task, const ImageFacts& facts, const Written& written) {
    if (!facts.published || ChecksBeforeWriting(facts)) {
        return {};
    }
    const std::string& hex =
        facts.published->kind == HashKind::Sha256 ? written.sha256 : written.alsoHash;
    return hex == facts.published->hex ? Failure{} : Differs(task, *facts.published);
}

// A form whose file does not tell its length is decoded once to find it, before anything is
// written, so that an image too large for the card writes nothing.
// A published checksum of the content is checked on the way, so it too refuses before writing.
Failure FindLength(const StageLink& run, const RestoreTask& task, ImageFacts& facts) {
    if (facts.length) {
        return {};
    }
    run.CheckingImage(true);
    std::unique_ptr<ImageSource> source;
    if (Failure failure = OpenPassSource(task, facts.format, SharedPass::Count, source)) {
        return failure;
    }
    run.SetTotal(facts.fileBytes);
    const bool ofContent = facts.published && facts.published->ofContent;
    std::optional<Digest> content;
    if (ofContent) {
        content.emplace(facts.published->kind);
    }
    std::uint64_t bytes = 0;
    if (Failure failure = CountImageBytes(run, *source, bytes, content ? &*content : nullptr)) {
        return failure;
    }
    facts.length = bytes;
    std::string hex;
    if (content) {
        if (Failure failure = content->Finish(hex)) {
            return failure;
        }
        if (hex != facts.published->hex) {
            return Differs(task, *facts.published);
        }
    }
    return {};
}

// The card opened for writing, checked once more to be the one confirmed.
Failure OpenCard(const RestoreTask& task, drive::ScopedDrive& direct, CardToWrite& card) {
    drive::DriveHandle handle = drive::kInvalidDriveHandle;
    if (Failure failure = drive::OpenDriveToWrite(task.card.node, handle)) {
        return failure;
    }
    direct.Reset(handle);
    if (Failure changed = CheckConfirmedDrive(handle, task.card)) {
        changed.message += ", as it was opened for writing";
        return changed;
    }
    card = {handle, task.card.length, drive::DriveSectorSize(handle)};
    return {};
}

}  // namespace

Failure RestoreImage(const StageLink& run, const RestoreTask& task, RestoreFindings& found) {
    found = {};
    // A card confirmed by its description has a length: one without was never confirmed.
    if (task.card.length == 0) {
        return {FailureReason::DriveChanged, 0, "the card to write was not confirmed"};
    }
    const std::optional<std::filesystem::file_time_type> began = LastWritten(task.imagePath);
    ImageFacts facts;
    if (Failure failure = ReadImageFacts(task.imagePath, facts, task.settings.expectedSha256,
                                         !task.settings.noBlockMap)) {
        return failure;
    }
    found.format = facts.format;
    found.unreadableBytes = facts.unreadableBytes;
    const std::uint64_t confirmed = task.settings.confirmedImageBytes;
    if (confirmed != 0 && facts.fileBytes != confirmed) {
        return {FailureReason::ImageChanged, 0,
                GroupedNumber(confirmed) + " bytes when it was confirmed, " +
                    GroupedNumber(facts.fileBytes) + " bytes now"};
    }
    if (Failure failure = CheckFileBeforeWriting(run, task, facts)) {
        return failure;
    }
    if (Failure failure = FindLength(run, task, facts)) {
        return failure;
    }
    if (Failure failure = CheckBlockMapFits(facts)) {
        return failure;
    }
    const ByteRanges ranges = WrittenRanges(task.imagePath, facts, task.settings.skipEmpty);
    drive::Drive described;
    CardTable table;
    {
        drive::DriveHandle handle = drive::kInvalidDriveHandle;
        if (Failure failure = drive::OpenDriveAskingAccess(task.card.node, handle)) {
            return failure;
        }
        const drive::ScopedDrive reading(handle);
        if (Failure failure = CheckCard(task, handle, described)) {
            return failure;
        }
        std::vector<std::byte> head = facts.head;
        FitTableToCard(head, described.length, drive::DriveSectorSize(handle), table);
        if (Failure failure = CheckFits(task.imagePath, facts, described.length, table)) {
            return failure;
        }
    }
    found.cardBytes = described.length;
    // From here on the card changes: its volumes are unmounted, then it is written.
    drive::HeldVolumes held;
    if (Failure failure = drive::UnmountVolumes(described, held)) {
        return failure;
    }
    drive::ScopedDrive direct;
    CardToWrite card;
    if (Failure failure = OpenCard(task, direct, card)) {
        return failure;
    }
    run.CheckingImage(false);
    run.SetTotal(std::min(*facts.length, BytesIn(ranges)));
    DriveWatch watch(card.direct, card.length, task.card.identity, card.sectorSize);
    // A transfer that fails because the card has gone says so, rather than blame the card.
    // Only the probe reads the card before the verify: elsewhere a ReadError is the image's.
    const auto told = [&watch](Failure failure, bool cardReads = false) {
        const bool transfer = failure.reason == FailureReason::WriteError ||
                              failure.reason == FailureReason::FlushFailed ||
                              (cardReads && failure.reason == FailureReason::ReadError);
        if (transfer && watch.IsGone(failure)) {
            return Failure{FailureReason::DriveRemoved, failure.error,
                           "the card stopped answering"};
        }
        if (const std::string cause = drive::WriteRefusalCause(failure.error);
            transfer && !cause.empty()) {
            failure.message = cause;
        }
        return failure;
    };
    if (Failure failure = ProbeCapacity(card, found.probeNotPutBack)) {
        return told(failure, true);
    }
    found.cardWritten = true;
    const auto started = std::chrono::steady_clock::now();
    if (Failure failure = ClearTables(card)) {
        return told(failure);
    }
    Written written;
    const Failure failure =
        WriteImage(run, task, facts, ranges, card, table.partitionsEnd, written);
    found.queueNote = written.queueNote;
    if (failure) {
        return told(failure);
    }
    // A cancel that came as the last writes ended still leaves the card without its table.
    if (run.Cancelled()) {
        return {FailureReason::Cancelled, 0, {}};
    }
    if (Failure changed = CheckUnchanged(task, facts, written)) {
        return changed;
    }
    if (Failure changed = CheckNotWrittenTo(task, began, "the card was written")) {
        return changed;
    }
    if (Failure failure = CheckWritten(task, facts, written)) {
        return failure;
    }
    found.publishedNote = facts.published ? "matches " + DescribeChecksum(*facts.published)
                                          : "no published checksum found";
    std::vector<std::byte> head = written.head;
    FitTableToCard(head, card.length, card.sectorSize, table);
    if (Failure failure = WriteTable(card, head, table)) {
        return told(failure);
    }
    found.tableWritten = true;
    found.writeSeconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started)
            .count();
    found.driveBytes = std::min(written.bytes, card.length);
    found.driveSha256 = written.sha256;
    found.pastCardEnd = written.pastCardEnd;
    found.pastCardEndHeldData = written.pastCardEndHeldData;
    found.leftAsItWas = written.leftAsItWas;
    found.tableFitted = head != written.head ? table.table : std::string();
    if (facts.blockMap) {
        found.blockMapNote = "only the " + Megabytes(facts.blockMap->MappedBytes()) + " that " +
                             facts.blockMap->fileName + " maps were written" +
                             (task.verifyAfter ? " and verified" : "") +
                             ": the card keeps its old content elsewhere";
    }
    if (!task.verifyAfter) {
        return {};
    }
    if (Failure failure = VerifyCard(run, task, facts.format, card, found.driveBytes, ranges, head,
                                     table, facts.blockMap ? &*facts.blockMap : nullptr,
                                     found.cardReadBytes, found.cardSha256)) {
        return failure;
    }
    if (Failure changed = CheckNotWrittenTo(task, began, "the card was verified")) {
        return changed;
    }
    found.verified = true;
    const bool exact = found.tableFitted.empty() && written.pastCardEnd == 0 &&
                       written.leftAsItWas == 0 && !facts.driveSha256.empty() &&
                       facts.driveSha256 == written.sha256;
    if (exact) {
        found.sameAsCard =
            facts.sourceCard.empty() ? "the imaged card" : "card " + facts.sourceCard;
    }
    return {};
}

}  // namespace imaging
