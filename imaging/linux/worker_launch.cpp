#include <pthread.h>
#include <sched.h>

#include "copy_worker.h"

namespace imaging {
namespace {

// glibc's thread attributes take no SCHED_IDLE, so the thread lowers itself before it does any
// work; lowering needs no privilege, but where the platform still refuses, the run ends at once
// rather than copy at a priority the user did not get.
void* IdleWorkerEntry(void* parameter) {
    const sched_param priority{};
    const int refused = ::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &priority);
    if (refused != 0) {
        EndRun(TheCopyJob(), {FailureReason::WorkerNotStarted, refused});
        return nullptr;
    }
    CopyThreadProc(parameter);
    return nullptr;
}

}  // namespace

bool LaunchCopyWorker() {
    pthread_attr_t attributes;
    if (::pthread_attr_init(&attributes) != 0) {
        return false;
    }
    pthread_t thread{};
    const bool started = ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
                         ::pthread_create(&thread, &attributes, IdleWorkerEntry, nullptr) == 0;
    ::pthread_attr_destroy(&attributes);
    return started;
}

}  // namespace imaging
