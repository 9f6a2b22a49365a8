#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "drive_probe.h"
#include "failure.h"
#include "rescue_map.h"

namespace imaging {

enum class RunState : std::uint32_t { Idle = 0, Running = 1, CancelRequested = 10 };

// 0 only before the first run.
enum class Outcome : std::uint32_t { Failed = 1, Succeeded = 2 };

inline constexpr std::size_t kChunkSize = 65536;

// A rescue does not end at a read error: each sector that fails is tried `retries` more times,
// and what still cannot be read is written as zeros and noted, so the image is whole.
struct RescueSettings {
    bool enabled = false;
    int retries = 0;
};

// The one copy job the window and the worker share. The shared words are atomics and no lock
// is taken. startTime publishes that copying has begun (and totalBytes with it); runState Idle,
// the worker's last store, publishes that both files are closed and outcome is final.
struct CopyJob {
    std::atomic<RunState> runState{RunState::Idle};
    std::atomic<Outcome> outcome{};
    std::atomic<std::uint64_t> totalBytes{0};
    std::atomic<std::uint64_t> doneBytes{0};
    std::atomic<std::int64_t> startTime{0};  // seconds since the epoch; 0: not begun
    // Why the last run failed, and the platform's code for it; final, like outcome, once
    // runState Idle is seen.
    std::atomic<FailureReason> failureReason{FailureReason::None};
    std::atomic<int> failureError{0};
    // Written before the worker is launched, read only by the worker afterwards.
    std::string imagePath;
    std::string devicePath;
    // The disk the user chose; the worker refuses any other that now answers to devicePath.
    // All zero: not known, not checked.
    drive::DriveIdentity expectedDrive;
    RescueSettings rescue;
    // In a rescue, the bytes written as zeros because they could not be read, and where they
    // are; final once runState Idle is seen. Only the worker touches the ranges while it runs.
    std::atomic<std::uint64_t> unreadableBytes{0};
    std::vector<ByteRange> unreadableRanges;
    // Belongs to the worker for the length of a run.
    alignas(4096) std::array<std::byte, kChunkSize> transferBuffer{};
};

CopyJob& TheCopyJob();

// Before a launch: the paths and the chosen disk, and a fresh start of the counters, the failure
// reason and the unreadable ranges, with the state Running and no rescue.
void PrepareRun(CopyJob& job, std::string devicePath, std::string imagePath,
                drive::DriveIdentity expectedDrive = {});

// Running becomes CancelRequested; Idle and CancelRequested stay as they are.
void RequestCancel(CopyJob& job);

// The worker's last act: the outcome and its reason, then Idle, which publishes both.
void EndRun(CopyJob& job, const Failure& failure);

}  // namespace imaging
