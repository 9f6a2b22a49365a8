#pragma once

#include <functional>

#include "run/copy_job.h"

namespace imaging {

// Copies the drive of job.request into its image file, reporting only through the job, and
// ends with runState Idle. Runs on the calling thread, at its priority; the drive is read on a
// second thread at the same priority.
void RunCopyJob(CopyJob& job);

// The worker thread's body: RunCopyJob on the job `parameter` points to. Returns 1.
unsigned CopyThreadProc(void* parameter);

// Starts CopyThreadProc for `job` on a detached thread at the lowest scheduling priority. False
// when no thread could be started; the job is then untouched. A thread that starts but cannot
// lower its priority ends the run Failed without copying. The job must outlive the run.
bool LaunchCopyWorker(CopyJob& job);

}  // namespace imaging
