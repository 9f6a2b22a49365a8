#include "restore/image_passes.h"

#include <vector>

#include "image/target_folder.h"
#include "stage/buffer_ring.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

Failure CountImageBytes(const StageLink& run, ImageSource& source, std::uint64_t& bytes,
                        Digest* content) {
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
        if (content != nullptr) {
            content->Update(chunk.data(), got);
        }
        run.SetDone(source.FileRead());
    }
    return {};
}

Failure HashImageFile(const StageLink& run, const std::string& path, HashKind kind,
                      std::string& hex) {
    ImageHandle file;
    if (Failure failure = OpenToRead(path, file)) {
        return {FailureReason::ImageRefused, failure.error, failure.message};
    }
    run.Begin();
    Digest digest(kind);
    std::vector<std::byte> chunk(kRunBufferSize);
    std::uint64_t done = 0;
    for (std::size_t got = 1; got > 0; done += got) {
        if (run.Cancelled()) {
            return {FailureReason::Cancelled, 0, {}};
        }
        if (Failure failure = ReadSome(file, chunk.data(), chunk.size(), got)) {
            return {FailureReason::ReadError, failure.error, "reading the image"};
        }
        digest.Update(chunk.data(), got);
        run.SetDone(done + got);
    }
    return digest.Finish(hex);
}

}  // namespace imaging
