#include "run/copy_job.h"

#include <ctime>

#include <utility>

namespace imaging {

using error::Failure;

void PrepareRun(CopyJob& job, CopyRequest request) {
    job.request = std::move(request);
    job.result = {};
    job.progress.startTime.store(0, std::memory_order_relaxed);
    job.progress.totalBytes.store(0, std::memory_order_relaxed);
    job.progress.verifying.store(false, std::memory_order_relaxed);
    job.progress.checkingImage.store(false, std::memory_order_relaxed);
    job.progress.runState.store(RunState::Running, std::memory_order_relaxed);
    job.progress.doneBytes.store(0, std::memory_order_relaxed);
    job.times.Reset();
}

void RequestCancel(CopyJob& job) {
    RunState expected = RunState::Running;
    job.progress.runState.compare_exchange_strong(expected, RunState::CancelRequested,
                                                  std::memory_order_relaxed);
}

bool CancelRequested(const CopyJob& job) {
    return job.progress.runState.load(std::memory_order_relaxed) == RunState::CancelRequested;
}

bool RunHasEnded(const CopyJob& job) {
    return job.progress.runState.load(std::memory_order_acquire) == RunState::Idle;
}

void EndRun(CopyJob& job, Failure failure) {
    job.result.outcome = failure ? Outcome::Failed : Outcome::Succeeded;
    job.result.failure = std::move(failure);
    job.progress.runState.store(RunState::Idle, std::memory_order_release);
}

void JobLink::Begin() const {
    m_job.progress.doneBytes.store(0, std::memory_order_relaxed);
    m_job.progress.startTime.store(std::time(nullptr), std::memory_order_release);
}

void JobLink::SetTotal(std::uint64_t bytes) const {
    m_job.progress.totalBytes.store(bytes, std::memory_order_relaxed);
}

void JobLink::SetDone(std::uint64_t bytes) const {
    m_job.progress.doneBytes.store(bytes, std::memory_order_relaxed);
}

void JobLink::Verifying() const {
    m_job.progress.verifying.store(true, std::memory_order_relaxed);
}

void JobLink::CheckingImage(bool checking) const {
    m_job.progress.checkingImage.store(checking, std::memory_order_relaxed);
}

std::int64_t JobLink::StartTime() const {
    return m_job.progress.startTime.load(std::memory_order_relaxed);
}

}  // namespace imaging
