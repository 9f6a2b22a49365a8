#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "failure.h"
#include "image/image_file.h"
#include "image/image_format.h"
#include "io_queue.h"
#include "read/buffer_ring.h"
#include "read/digest.h"
#include "write/depth_writer.h"

namespace imaging {

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

// The sink for `format` over `image`, for a drive of `driveLength` bytes.
error::Failure OpenSink(ImageFormat format, ImageFile& image, std::uint64_t driveLength,
                        std::unique_ptr<ImageSink>& sink, StageTimes* times = nullptr);

// A raw image: the drive's bytes as they are, each buffer written at its own offset with
// several writes in flight, straight to the disk where the file system allows. Runs of all-zero
// blocks become holes where the file system keeps them, so an image is as large on the disk as
// the data on the card.
class RawImageSink : public ImageSink {
public:
    RawImageSink(ImageFile& image, std::uint64_t length, StageTimes* times = nullptr);
    error::Failure Take(DriveBuffer& buffer, const Released& released) override;
    bool Holding() const override { return m_writer.Holding(); }
    error::Failure ReleaseOldest(const Released& released) override;
    error::Failure Settle(const Released& released) override;
    error::Failure Finish() override;
    error::Failure FileSha256(std::string& hex) override {
        hex.clear();
        return {};
    }
    const io::QueueChoice* Queue() const override { return &m_choice; }

private:
    // Hands a buffer back once what was written up to its end keeps moving to the disk.
    Released Written(const Released& released);

    ImageFile& m_image;
    std::uint64_t m_length;
    StageTimes* m_times;
    ImageHandle m_direct;  // the image, written around the cache; not open where refused
    io::QueueChoice m_choice;
    std::unique_ptr<io::Queue> m_queue;
    DepthWriter m_writer;
    std::uint64_t m_through = 0;  // every byte before this is written
    error::Failure m_moving;
};

// What a compressor emits, hashed and then written to the image file.
class CompressedOutput {
public:
    explicit CompressedOutput(ImageFile& image);
    error::Failure Put(const void* data, std::size_t size);
    error::Failure FileSha256(std::string& hex) { return m_digest.Finish(hex); }

    // Room for what the compressor emits at once.
    std::vector<unsigned char>& Buffer() { return m_buffer; }

private:
    ImageFile& m_image;
    Digest m_digest;
    std::vector<unsigned char> m_buffer;
};

}  // namespace imaging
