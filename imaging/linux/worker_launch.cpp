#include <pthread.h>
#include <sched.h>

#include <system_error>
#include <thread>

#include "run/copy_worker.h"
#include "stage/beside.h"

namespace imaging {

using error::FailureReason;

namespace {

// glibc's thread attributes take no SCHED_IDLE, so the thread lowers itself before it does any
// work; lowering needs no privilege, but where the platform still refuses, the run ends at once
// rather than copy at a priority the user did not get.
void* IdleWorkerEntry(void* parameter) {
    const sched_param priority{};
    const int refused = ::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &priority);
    if (refused != 0) {
        EndRun(*static_cast<CopyJob*>(parameter),
               {FailureReason::WorkerNotStarted, refused, "no idle priority"});
        return nullptr;
    }
    CopyThreadProc(parameter);
    return nullptr;
}

}  // namespace

bool LaunchCopyWorker(CopyJob& job) {
    pthread_attr_t attributes;
    if (::pthread_attr_init(&attributes) != 0) {
        return false;
    }
    pthread_t thread{};
    const bool started = ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
                         ::pthread_create(&thread, &attributes, IdleWorkerEntry, &job) == 0;
    ::pthread_attr_destroy(&attributes);
    return started;
}

// A new thread inherits its creator's scheduling policy, SCHED_IDLE included.
bool RunBesideAtThisPriority(const std::function<void()>& body, const std::function<void()>& here) {
    std::thread beside;
    try {
        beside = std::thread(body);
    } catch (const std::system_error&) {
        return false;
    }
    here();
    beside.join();
    return true;
}

}  // namespace imaging
