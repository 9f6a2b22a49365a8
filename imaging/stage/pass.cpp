#include "stage/pass.h"

#include "stage/beside.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

Failure WriteFromRing(const StageLink& run, BufferRing& ring, ImageSink& sink) {
    std::uint64_t done = 0;
    const Released released = [&](DriveBuffer* buffer, bool written) {
        if (written) {
            done += buffer->length;
            run.SetDone(done);
        }
        ring.GiveBack(buffer);
    };
    Failure failure;
    while (!failure) {
        // Asked after every write that ends too, so a cancel never waits for the queue to drain
        // into a table written after it.
        if (run.Cancelled()) {
            failure = {FailureReason::Cancelled, 0, {}};
            break;
        }
        DriveBuffer* buffer =
            ring.NextFilled(sink.Holding() ? BufferRing::Waiting::No : BufferRing::Waiting::Yes);
        if (buffer == nullptr && sink.Holding()) {
            failure = sink.ReleaseOldest(released);
            continue;
        }
        if (buffer == nullptr) {
            break;
        }
        failure = sink.Take(*buffer, released);
    }
    const Failure settled = sink.Settle(released);
    if (failure || settled) {
        return failure ? failure : settled;
    }
    return ring.ReaderFailure();
}

Failure RunPass(const StageLink& run, BufferRing& ring, const std::function<void()>& reader,
                ImageSink& sink) {
    Failure written;
    const bool ran = RunBesideAtThisPriority(reader, [&] {
        written = WriteFromRing(run, ring, sink);
        // The reader stops at its next buffer.
        ring.Stop();
    });
    if (!ran) {
        return {FailureReason::WorkerNotStarted, 0, "no thread for the pass's reader"};
    }
    return written;
}

}  // namespace imaging
