#include <process.h>
#include <windows.h>

#include "copy_worker.h"

namespace imaging {
namespace {

unsigned __stdcall WorkerEntry(void* parameter) {
    return CopyThreadProc(parameter);
}

}  // namespace

// Created suspended so that not one instruction of the worker runs above idle priority.
bool LaunchCopyWorker() {
    const auto thread = reinterpret_cast<HANDLE>(
        ::_beginthreadex(nullptr, 0, WorkerEntry, nullptr, CREATE_SUSPENDED, nullptr));
    if (thread == nullptr) {
        return false;
    }
    ::SetThreadPriority(thread, THREAD_PRIORITY_IDLE);
    const bool resumed = ::ResumeThread(thread) != static_cast<DWORD>(-1);
    ::CloseHandle(thread);
    return resumed;
}

}  // namespace imaging
