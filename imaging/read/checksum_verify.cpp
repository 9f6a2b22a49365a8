#include "read/checksum_verify.h"

#include <atomic>
#include <filesystem>
#include <vector>

#include "image/image_file.h"
#include "layout/partition_layout.h"
#include "read/digest.h"
#include "read/drive_pass.h"
#include "stage/beside.h"
#include "stage/buffer_ring.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

namespace {

// The run's link, which one side of the verify stops for the other once the answer is known.
class StoppableLink final : public StageLink {
public:
    explicit StoppableLink(const StageLink& outer) : m_outer(outer) {}
    bool Cancelled() const override {
        return m_stopped.load(std::memory_order_relaxed) || m_outer.Cancelled();
    }
    void Begin() const override { m_outer.Begin(); }
    void SetTotal(std::uint64_t bytes) const override { m_outer.SetTotal(bytes); }
    void SetDone(std::uint64_t bytes) const override { m_outer.SetDone(bytes); }
    void Verifying() const override { m_outer.Verifying(); }
    void CheckingImage(bool checking) const override { m_outer.CheckingImage(checking); }
    StageTimes* Times() const override { return m_outer.Times(); }
    void Stop() const { m_stopped.store(true, std::memory_order_relaxed); }

private:
    const StageLink& m_outer;
    mutable std::atomic<bool> m_stopped{false};
};

// The image file's SHA-256 against `expected`, read on its own while the drive is read, so a
// card-speed verify takes no longer for it. Stops early, Cancelled, once `stop` is set.
Failure CheckImageFile(const StageLink& run, const std::string& path, const std::string& expected,
                       const std::atomic<bool>& stop) {
    ImageHandle file;
    if (Failure failure = OpenToRead(path, file)) {
        return failure;
    }
    std::vector<std::byte> buffer(kRunBufferSize);
    Digest digest;
    std::size_t got = 0;
    do {
        if (run.Cancelled() || stop.load(std::memory_order_relaxed)) {
            return {FailureReason::Cancelled, 0, {}};
        }
        if (Failure failure = ReadSome(file, buffer.data(), buffer.size(), got)) {
            return failure;
        }
        digest.Update(buffer.data(), got);
    } while (got > 0);
    std::string hex;
    if (Failure failure = digest.Finish(hex)) {
        return failure;
    }
    const std::string name = std::filesystem::path(path).filename().string();
    return hex == expected ? Failure{}
                           : Failure{FailureReason::ChecksumFailed, 0,
                                     name + " differs from its line in " + name + kChecksumSuffix +
                                         ": the image is damaged"};
}

}  // namespace

Failure VerifyAgainstChecksumFile(const StageLink& outer, const std::string& imagePath,
                                  drive::DriveHandle device, drive::DriveIdentity expected,
                                  std::uint64_t total) {
    const StoppableLink run(outer);
    const std::string checksumPath = imagePath + kChecksumSuffix;
    std::string checksums;
    if (Failure failure = ReadSideFile(checksumPath, kLongestChecksumFile, checksums)) {
        return {FailureReason::ChecksumFailed, failure.error, failure.message};
    }
    std::string driveSha256;
    std::string fileSha256;
    std::uint64_t driveBytes = 0;
    if (!ReadDriveLine(checksums, driveSha256, driveBytes) ||
        !ReadFileLine(checksums, fileSha256)) {
        return {FailureReason::ChecksumFailed, 0, "no file and drive line in " + checksumPath};
    }
    // An image of the partitions only is compared with the drive as such an image would take it.
    PartitionsPlan plan;
    const bool partitions =
        driveBytes != total &&
        !PlanPartitionsOnly(SectorsOf(device), total, drive::DriveSectorSize(device), plan) &&
        plan.imageBytes == driveBytes;
    if (driveBytes != total && !partitions) {
        return {FailureReason::ContentDiffers, 0,
                "the drive holds " + std::to_string(total) + " bytes, the image " +
                    std::to_string(driveBytes)};
    }
    // Whichever side fails first stops the other: the answer is known.
    Failure imageFailure;
    Failure driveFailure;
    std::atomic<bool> driveEnded{false};
    const DrivePass pass{device, expected, total, partitions ? &plan : nullptr};
    const bool ran = RunBesideAtThisPriority(
        [&] {
            imageFailure = CheckImageFile(run, imagePath, fileSha256, driveEnded);
            if (imageFailure && imageFailure.reason != FailureReason::Cancelled) {
                run.Stop();
            }
        },
        [&] {
            driveFailure = VerifyDrive(run, pass, driveSha256);
            if (driveFailure) {
                driveEnded.store(true, std::memory_order_relaxed);
            }
        });
    if (!ran) {
        return {FailureReason::WorkerNotStarted, 0, "no thread to read the image"};
    }
    if (imageFailure.reason == FailureReason::Cancelled && driveFailure) {
        return driveFailure;
    }
    if (imageFailure && driveFailure.reason == FailureReason::ContentDiffers) {
        imageFailure.message += "; the drive differs from it too";
    }
    return imageFailure ? imageFailure : driveFailure;
}

}  // namespace imaging
