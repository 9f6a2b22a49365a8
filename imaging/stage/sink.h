#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "failure.h"
#include "io_queue.h"
#include "stage/buffer_ring.h"

namespace imaging {

// A buffer whose bytes the writer no longer needs, handed back in the order they were put;
// `written` false once any write has failed, this buffer's or an earlier one's.
using Released = std::function<void(DriveBuffer* buffer, bool written)>;

// Where the drive's bytes go, in order, and in what form. It knows nothing of the drive or of the
// digest of the drive's bytes. A sink takes whole buffers and may hold them while their writes
// are in flight; each comes back through `released` once the sink is done with it.
class ImageSink {
public:
    ImageSink() = default;
    ImageSink(const ImageSink&) = delete;
    ImageSink& operator=(const ImageSink&) = delete;
    virtual ~ImageSink() = default;

    virtual error::Failure Take(DriveBuffer& buffer, const Released& released) = 0;

    // True while the sink holds a buffer: the caller then waits through ReleaseOldest rather
    // than for a new buffer, which may be the very one held.
    virtual bool Holding() const { return false; }
    virtual error::Failure ReleaseOldest(const Released& /*released*/) { return {}; }

    // Hands back every buffer held, once its writes have ended; on every path, before the
    // buffers are freed.
    virtual error::Failure Settle(const Released& /*released*/) { return {}; }

    // After the last buffer: what the sink still holds back goes to the file.
    virtual error::Failure Finish() = 0;

    // After Finish: the SHA-256 of the file's own bytes where they are not the drive's (a
    // compressed image); empty where the file holds the drive's bytes as they are.
    virtual error::Failure FileSha256(std::string& hex) = 0;

    // How the sink's writes were queued; nullptr where it writes as it goes.
    virtual const io::QueueChoice* Queue() const { return nullptr; }
};

// A sink that is done with each buffer at once: its bytes are copied into what it writes.
class StreamSink : public ImageSink {
public:
    error::Failure Take(DriveBuffer& buffer, const Released& released) final {
        const error::Failure failure = Write(buffer.bytes.get(), buffer.length);
        released(&buffer, !failure);
        return failure;
    }

protected:
    virtual error::Failure Write(const std::byte* data, std::size_t size) = 0;
};

}  // namespace imaging
