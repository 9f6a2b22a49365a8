#pragma once

#include <functional>

#include "failure.h"
#include "stage/buffer_ring.h"
#include "stage/sink.h"
#include "stage/stage_link.h"

namespace imaging {

// The writer's side of a pass, on the calling thread: takes the filled buffers in order into the
// sink until the reader has finished, the sink fails or the run is cancelled; the progress
// follows every buffer written. The sink holds no buffer once this returns.
error::Failure WriteFromRing(const StageLink& run, BufferRing& ring, ImageSink& sink);

// One pass: `reader` fills the ring on a second thread while this one writes its buffers into
// the sink; returns once both have ended. The reader's own failure comes back through the ring.
error::Failure RunPass(const StageLink& run, BufferRing& ring, const std::function<void()>& reader,
                       ImageSink& sink);

}  // namespace imaging
