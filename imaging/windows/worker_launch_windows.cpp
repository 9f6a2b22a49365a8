#include <process.h>
#include <windows.h>

#include "copy_worker.h"

namespace imaging {
namespace {

unsigned __stdcall WorkerEntry(void* parameter) {
    return CopyThreadProc(parameter);
}

}  // namespace

// Created suspended so that not one instruction of the worker runs above idle priority. A
// thread that cannot be lowered or resumed has run nothing yet; it is ended there, and the
// launch reports failure so the window returns to idle.
bool LaunchCopyWorker() {
    const auto thread = reinterpret_cast<HANDLE>(
        ::_beginthreadex(nullptr, 0, WorkerEntry, nullptr, CREATE_SUSPENDED, nullptr));
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

}  // namespace imaging
