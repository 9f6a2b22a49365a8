#pragma once

#include "image/block_map.h"
#include "image/image_sink.h"

namespace imaging {

// A sink that maps the image's blocks as they pass to the sink that writes them, on the
// writer's thread, so the block map's hashing shares the work with the reader's digest.
class MappingSink : public ImageSink {
public:
    MappingSink(ImageSink& sink, BlockMapBuilder& builder) : m_sink(sink), m_builder(builder) {}

    error::Failure Take(DriveBuffer& buffer, const Released& released) override {
        m_builder.Update(buffer.bytes.get(), buffer.length);
        return m_sink.Take(buffer, released);
    }
    bool Holding() const override { return m_sink.Holding(); }
    error::Failure ReleaseOldest(const Released& released) override {
        return m_sink.ReleaseOldest(released);
    }
    error::Failure Settle(const Released& released) override { return m_sink.Settle(released); }
    error::Failure Finish() override { return m_sink.Finish(); }
    error::Failure FileSha256(std::string& hex) override { return m_sink.FileSha256(hex); }
    const io::QueueChoice* Queue() const override { return m_sink.Queue(); }

private:
    ImageSink& m_sink;
    BlockMapBuilder& m_builder;
};

}  // namespace imaging
