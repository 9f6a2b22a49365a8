#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "drive.h"
#include "drive_probe.h"
#include "failure.h"
#include "image/image_format.h"
#include "read/byte_ranges.h"
#include "read/digest.h"
#include "restore/restore.h"
#include "stage/buffer_ring.h"
#include "stage/stage_link.h"
#include "stage/stage_times.h"

namespace imaging {

enum class RunState : std::uint32_t { Idle = 0, Running = 1, CancelRequested = 10 };

// 0 only before the first run.
enum class Outcome : std::uint32_t { Failed = 1, Succeeded = 2 };

// What a run does with its drive: read it into an image; read it and compare it with an
// image's checksum file (nothing is written); rescue a failing one, whose bad sectors are tried
// again and written as zeros; or write an image onto it.
enum class Task { Image, Verify, Rescue, Restore };

// What a run is asked to do. Written before the worker is launched, read only by the worker
// afterwards.
struct CopyRequest {
    Task task = Task::Image;
    // The drive the user chose, as it was described to them: the worker refuses any other that
    // now answers at its node (see CheckConfirmedDrive).
    drive::Drive drive;
    std::string imagePath;
    // A rescue's further tries of each bad sector.
    int retries = 0;
    // After imaging or a restore, the drive is read a second time and compared.
    bool verifyAfter = false;
    // Only the drive's partitions are imaged, up to the last one's end; a GPT gets its backup at
    // the image's new end.
    bool partitionsOnly = false;
    // The drive's content is hashed with these too; SHA-256 always is.
    std::vector<HashKind> extraHashes;
    // How the run was asked for, as the image's record tells: the command line, or empty for
    // the window.
    std::string command;
    RestoreSettings restore;
    // The 4 MiB buffers of its ring: a drive among several at once takes fewer, so that many
    // fit in memory.
    std::size_t ringBuffers = kRunBufferCount;
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
    // A restore reads its image once before writing (its published checksum, or its length):
    // startTime and doneBytes count that pass until the write begins.
    std::atomic<bool> checkingImage{false};
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
    // What a restore found.
    RestoreFindings restored;
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

// A job's stages see it through this: its cancel, its progress counters and its times.
class JobLink final : public StageLink {
public:
    explicit JobLink(CopyJob& job) : m_job(job) {}

    bool Cancelled() const override { return CancelRequested(m_job); }
    void Begin() const override;
    void SetTotal(std::uint64_t bytes) const override;
    void SetDone(std::uint64_t bytes) const override;
    void Verifying() const override;
    void CheckingImage(bool checking) const override;
    StageTimes* Times() const override { return &m_job.times; }
    std::int64_t StartTime() const;

private:
    CopyJob& m_job;
};

// True once the worker has stored Idle; the result may then be read.
bool RunHasEnded(const CopyJob& job);

// The worker's last act: the outcome and its reason, then Idle, which publishes both.
void EndRun(CopyJob& job, error::Failure failure);

}  // namespace imaging
