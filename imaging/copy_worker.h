#pragma once

namespace imaging {

// The worker thread's body: copies the drive at TheCopyJob().devicePath into the image file at
// imagePath and reports only through the job, ending with runState Idle. Returns 1.
unsigned CopyThreadProc(void* parameter);

// Starts CopyThreadProc on a detached thread at the lowest scheduling priority. False when no
// thread could be started; the job is then untouched.
bool LaunchCopyWorker();

}  // namespace imaging
