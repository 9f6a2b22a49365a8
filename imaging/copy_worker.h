#pragma once

#include "copy_job.h"

namespace imaging {

// Copies the drive at job.devicePath into the image file at job.imagePath, reporting only
// through the job, and ends with runState Idle.
void RunCopyJob(CopyJob& job);

// The worker thread's body: RunCopyJob on TheCopyJob(). Returns 1.
unsigned CopyThreadProc(void* parameter);

// Starts CopyThreadProc on a detached thread at the lowest scheduling priority. False when no
// thread could be started; the job is then untouched. A thread that starts but cannot lower its
// priority ends the run Failed without copying.
bool LaunchCopyWorker();

}  // namespace imaging
