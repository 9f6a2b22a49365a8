#include "restore/image_count.h"

#include <vector>

#include "read/buffer_ring.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

Failure CountImageBytes(const StageLink& run, ImageSource& source, std::uint64_t& bytes) {
    run.Begin();
    std::vector<std::byte> chunk(kRunBufferSize);
    bytes = 0;
    for (std::size_t got = 1; got > 0; bytes += got) {
        if (run.Cancelled()) {
            return {FailureReason::Cancelled, 0, {}};
        }
        if (Failure failure = ReadFull(source, chunk.data(), chunk.size(), got)) {
            return failure;
        }
        run.SetDone(source.FileRead());
    }
    return {};
}

}  // namespace imaging
