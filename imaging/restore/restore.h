#pragma once

#include "failure.h"
#include "run/copy_job.h"

namespace imaging {

// Writes the image at the request's imagePath onto the drive at its devicePath, which the user
// confirmed by its description. Everything that can refuse the run does so before the drive is
// opened for writing, so a refusal writes nothing. Once writing, the card's partition table is
// cleared first and written last, after everything else is on the card: a restore that fails
// or is cancelled leaves a card that no system mounts. Then, where asked, the card is read back
// and compared with the image. Fills the job's result.
error::Failure RestoreImage(CopyJob& job);

}  // namespace imaging
