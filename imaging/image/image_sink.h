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
#include "read/digest.h"
#include "stage/buffer_ring.h"
#include "stage/sink.h"
#include "write/depth_writer.h"

namespace imaging {

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
