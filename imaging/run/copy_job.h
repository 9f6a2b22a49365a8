#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "drive_probe.h"
#include "failure.h"
#include "image/image_format.h"
#include "read/digest.h"
#include "read/stage_times.h"
#include "rescue/rescue_map.h"

namespace imaging {

enum class RunState : std::uint32_t { Idle = 0, Running = 1, CancelRequested = 10 };

// 0 only before the first run.
enum class Outcome : std::uint32_t { Failed = 1, Succeeded = 2 };

// A rescue does not end at a read error: each sector that fails is tried `retries` more times,
// and what still cannot be read is written as zeros and noted, so the image is whole.
struct RescueSettings {
    bool enabled = false;
    int retries = 0;
};

// A restore writes the image onto the drive instead of reading the drive into it. The user
// confirmed the drive by its description; the worker refuses any drive that no longer matches
// it, before anything is written.
struct RestoreSettings {
    bool enabled = false;
    std::uint64_t confirmedLength = 0;
    std::string confirmedSerial;
    // Only the image's data is written: its empty blocks leave the card's old content as it is.
    bool skipEmpty = false;
    // The image file's length when the user confirmed it (0: not known): a file that has
    // changed since is not written.
    std::uint64_t confirmedImageBytes = 0;
    // The image file's SHA-256 as its publisher gave it, by hand (--expect-sha256); empty: the
    // checksum files beside the image are looked for.
    std::string expectedSha256;
    // The image's block map (IMAGE.bmap) is not used: the whole image is written.
    bool noBlockMap = false;
};

// What a run is asked to do. Written before the worker is launched, read only by the worker
// afterwards.
struct CopyRequest {
    std::string devicePath;
    std::string imagePath;
    // The disk the user chose; the worker refuses any other that now answers to devicePath.
    // All zero: not known, not checked.
    drive::DriveIdentity expectedDrive;
    RescueSettings rescue;
    // After imaging, the drive is read a second time and compared with what was imaged.
    bool verifyAfter = false;
    // Nothing is imaged: the drive is read and compared with the drive line of the checksum
    // file beside imagePath, which is left as it is.
    bool verifyOnly = false;
    // Only the drive's partitions are imaged, up to the last one's end; a GPT gets its backup at
    // the image's new end.
    bool partitionsOnly = false;
    // The drive's content is hashed with these too; SHA-256 always is.
    std::vector<HashKind> extraHashes;
    // How the run was asked for, as the image's record tells: the command line, or empty for
    // the window.
    std::string command;
    RestoreSettings restore;
};

// What a look at a running copy reads, while the worker writes it; no lock is taken. startTime
// publishes that copying has begun (and totalBytes with it); runState Idle, the worker's last
// store, publishes that the files are closed and the result is final.
struct CopyProgress {
    std::atomic<RunState> runState{RunState::Idle};
    std::atomic<std::uint64_t> totalBytes{0};
    std::atomic<std::uint64_t> doneBytes{0};  // bytes in the image so far
    std::atomic<std::int64_t> startTime{0};   // seconds since the epoch; 0: not begun
    // The drive is being read again to verify it; startTime and doneBytes count that pass.
    std::atomic<bool> verifying{false};
};

// How a run ended. Only the worker writes it, while it runs; it may be read once runState Idle
// has been seen (with acquire ordering), and until the next run is prepared.
struct CopyResult {
    Outcome outcome{};
    error::Failure failure;
    ImageFormat format = ImageFormat::Raw;
    std::string driveSha256;  // lowercase hex; empty unless the drive was read to its end
    std::vector<NamedDigest> extraDigests;  // the request's extra hashes of the same bytes
    std::string fileSha256;                 // of the image file as written
    std::uint64_t driveBytes = 0;
    std::uint64_t imageBytes = 0;  // the image file's length
    bool verified = false;         // a second read of the drive matched
    // A partitions-only run: the table that was followed ("GPT", "MBR", "hybrid MBR"), or why
    // the whole drive was imaged instead; and the smallest drive the image can be restored to.
    std::string partitionTable;
    std::string wholeDriveBecause;
    std::uint64_t restorableBytes = 0;
    // In a rescue, the bytes written as zeros because they could not be read, and where they are.
    std::uint64_t unreadableBytes = 0;
    std::vector<ByteRange> unreadableRanges;
    // The image was written beside an existing one, which a failed run leaves as it was.
    bool replacing = false;
    // A restore: the card's length; the image's bytes past the card's end, not written; the
    // table fitted to the card ("GPT"), if one was; and the card the image was taken from
    // ("card SanDisk SD32G 0x1234", or "the imaged card"), where the card now holds exactly what
    // that card held. driveBytes counts the bytes
    // written, driveSha256 is theirs as the image holds them.
    std::uint64_t cardBytes = 0;
    std::uint64_t pastCardEnd = 0;
    bool pastCardEndHeldData = false;  // else only zeros lay past the card's end
    // The card read back by the verify: its first cardReadBytes bytes (the image's, up to whole
    // sectors) and their SHA-256.
    std::uint64_t cardReadBytes = 0;
    std::string cardSha256;
    // What the published checksum said: "matches the published SHA-256 in X", or that none was
    // found.
    std::string publishedNote;
    // Where a block map chose what was written: "only the 64.0 MB that os.img.bmap maps".
    std::string blockMapNote;
    // Sectors the capacity probe marked and could not put back (the card went), by offset.
    std::vector<std::uint64_t> probeNotPutBack;
    std::string tableFitted;
    std::string sameAsCard;
    std::uint64_t leftAsItWas = 0;  // empty blocks not written (skipEmpty)
    bool cardWritten = false;       // anything at all: a failure leaves it without a table
    bool tableWritten = false;      // the table went on last: the card holds the whole image
    std::int64_t writeSeconds = 0;  // the write pass, its final flush included
    // How reads and writes were queued, where not as they should have been.
    std::string queueNote;
};

// One run: what it was asked, how far it has come, how it ended. Its owner (the window, the
// command line) keeps it alive until it has seen runState Idle.
struct CopyJob {
    CopyRequest request;
    CopyProgress progress;
    CopyResult result;
    StageTimes times;
};

// Before a launch: the request, a fresh start of the counters and the result, state Running.
void PrepareRun(CopyJob& job, CopyRequest request);

// Running becomes CancelRequested; Idle and CancelRequested stay as they are.
void RequestCancel(CopyJob& job);

bool CancelRequested(const CopyJob& job);

// What a stage may touch of its run: whether it is to stop, and the progress it shows. Stages get
// this rather than the job, so none reads its request or writes its result: they return what
// they found, and only the worker fills the result.
class StageLink {
public:
    explicit StageLink(CopyJob& job) : m_job(job) {}

    bool Cancelled() const { return CancelRequested(m_job); }

    // A pass over the drive begins: its clock starts now, nothing of it is done yet.
    void Begin() const;
    void SetDone(std::uint64_t bytes) const;
    // The pass that follows reads the drive again to verify it.
    void Verifying() const;
    std::int64_t StartTime() const;
    // Where the run's buffers wait.
    StageTimes* Times() const { return &m_job.times; }

private:
    CopyJob& m_job;
};

// True once the worker has stored Idle; the result may then be read.
bool RunHasEnded(const CopyJob& job);

// The worker's last act: the outcome and its reason, then Idle, which publishes both.
void EndRun(CopyJob& job, error::Failure failure);

}  // namespace imaging
