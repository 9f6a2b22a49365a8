#include <process.h>
#include <windows.h>

#include <system_error>
#include <thread>

#include "run/copy_worker.h"
#include "stage/beside.h"

namespace imaging {
namespace {

unsigned __stdcall WorkerEntry(void* parameter) {
    return CopyThreadProc(parameter);
}

}  // namespace

// Created suspended so that not one instruction of the worker runs above idle priority. A
// thread that cannot be lowered or resumed has run nothing yet; it is ended there, and the
// launch reports failure so the window returns to idle.
bool LaunchCopyWorker(CopyJob& job) {
    const auto thread = reinterpret_cast<HANDLE>(
        ::_beginthreadex(nullptr, 0, WorkerEntry, &job, CREATE_SUSPENDED, nullptr));
    if (thread == nullptr) {
        return false;
    }
    const bool started = ::SetThreadPriority(thread, THREAD_PRIORITY_IDLE) &&
                         ::ResumeThread(thread) != static_cast<DWORD>(-1);
    if (!started) {
        ::TerminateThread(thread, 1);
    }
    ::CloseHandle(thread);
    return started;
}

// Windows starts every thread at normal priority: the new one takes its creator's first.
bool RunBesideAtThisPriority(const std::function<void()>& body, const std::function<void()>& here) {
    const int priority = ::GetThreadPriority(::GetCurrentThread());
    std::thread beside;
    try {
        beside = std::thread([&] {
            ::SetThreadPriority(::GetCurrentThread(), priority);
            body();
        });
    } catch (const std::system_error&) {
        return false;
    }
    here();
    beside.join();
    return true;
}

}  // namespace imaging
