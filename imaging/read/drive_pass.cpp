#include "read/drive_pass.h"

#include "drive_reads.h"
#include "read/drive_reader.h"
#include "stage/buffer_ring.h"
#include "stage/pass.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

namespace {

// A verify pass keeps nothing of what it reads but its digest.
class DiscardingSink : public StreamSink {
public:
    Failure Write(const std::byte* /*data*/, std::size_t /*size*/) override { return {}; }
    Failure Finish() override { return {}; }
    Failure FileSha256(std::string& hex) override {
        hex.clear();
        return {};
    }
};

}  // namespace

Failure ReadThrough(const StageLink& run, const DrivePass& pass,
                    const std::vector<HashKind>& extraHashes, ImageSink& sink,
                    DriveDigests& digests) {
    run.Begin();
    BufferRing ring(pass.ringBuffers, kRunBufferSize, run.Times());
    DriveReader reader(run, pass.device, pass.expected, pass.total,
                       drive::DriveSectorSize(pass.device), ring, pass.plan, extraHashes);
    const Failure failure = RunPass(
        run, ring, [&] { reader.Run(); }, sink);
    digests.queueNote = reader.Queue().fellBack;
    if (failure) {
        return failure;
    }
    if (Failure failure = reader.FinishDigest(digests.sha256)) {
        return failure;
    }
    return reader.FinishExtraDigests(digests.extra);
}

Failure VerifyDrive(const StageLink& run, const DrivePass& pass,
                    const std::string& expectedSha256) {
    run.Verifying();
    drive::ForgetCachedReads(pass.device);
    DiscardingSink discard;
    DriveDigests digests;
    if (Failure failure = ReadThrough(run, pass, {}, discard, digests)) {
        if (failure.at) {
            const std::uint64_t at = *failure.at;
            failure.at.reset();
            return error::InContext(failure,
                                    "reading the drive again, at byte " + std::to_string(at));
        }
        return failure;
    }
    return digests.sha256 == expectedSha256 ? Failure{}
                                            : Failure{FailureReason::ContentDiffers, 0, {}};
}

SectorReader SectorsOf(drive::DriveHandle device) {
    return [device](std::uint64_t offset, void* buffer, std::size_t size) {
        auto* bytes = static_cast<std::byte*>(buffer);
        for (std::size_t done = 0; done < size;) {
            std::size_t got = 0;
            if (drive::ReadDrive(device, bytes + done, size - done, offset + done, got) ||
                got == 0) {
                return false;
            }
            done += got;
        }
        return true;
    };
}

}  // namespace imaging
