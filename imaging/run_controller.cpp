#include "run_controller.h"

#include <utility>

namespace imaging {

void RunController::Prepare(CopyRequest request) {
    PrepareRun(m_job, std::move(request));
}

bool RunController::Launch() {
    if (m_launch(m_job)) {
        return true;
    }
    EndRun(m_job, {FailureReason::WorkerNotStarted, 0, {}});
    return false;
}

void RunController::Cancel() {
    RequestCancel(m_job);
}

std::int64_t RunController::StartTime() const {
    return m_job.progress.startTime.load(std::memory_order_acquire);
}

ProgressReading RunController::Reading(std::int64_t elapsed) const {
    return ReadProgress(elapsed, m_job.progress.doneBytes.load(std::memory_order_relaxed),
                        m_job.progress.totalBytes.load(std::memory_order_relaxed));
}

bool RunController::HasEnded() const {
    return RunHasEnded(m_job);
}

// Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on a literal + string at -O3.
std::string DescribeOutcome(const CopyRequest& request, const CopyResult& result) {
    const std::string& image = request.imagePath;
    std::string line;
    if (result.outcome != Outcome::Succeeded) {
        line = "failed: ";
        line += DescribeFailure(result.failure);
        return line;
    }
    if (result.unreadableBytes == 0) {
        line = "image complete: ";
        line += image;
        line += " (SHA-256 in ";
        line += image;
        line += ".sha256)";
        return line;
    }
    line = "image complete but for ";
    line += std::to_string(result.unreadableBytes);
    line += " unreadable bytes, written as zeros at";
    for (const ByteRange& range : result.unreadableRanges) {
        line += ' ';
        line += std::to_string(range.offset);
        line += '+';
        line += std::to_string(range.size);
    }
    line += " (offset+bytes; map in ";
    line += image;
    line += ".map)";
    return line;
}

}  // namespace imaging
