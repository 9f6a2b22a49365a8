#include "write/depth_writer.h"

#include <algorithm>

#include "image/image_file.h"
#include "positioned_io.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

DepthWriter::~DepthWriter() {
    while (m_inFlight > 0) {
        WaitOne();
    }
}

void DepthWriter::WaitOne() {
    const io::Completion completion = m_queue.Wait();
    --m_inFlight;
    if (completion.error != 0 && !m_failure) {
        m_failure = {FailureReason::WriteError, completion.error, {}};
    }
    if (completion.tag >= m_firstId && completion.tag - m_firstId < m_held.size()) {
        --m_held[completion.tag - m_firstId].pending;
    }
}

Failure DepthWriter::Start(std::uint64_t id, const std::byte* data, std::size_t size,
                           std::uint64_t offset) {
    while (m_inFlight >= m_queue.Depth()) {
        WaitOne();
    }
    if (m_failure) {
        return m_failure;
    }
    // A request's bytes are only read, whatever the request type says of its pointer.
    const io::Request request{
        io::Direction::Write, m_target.file, const_cast<std::byte*>(data), size, offset, id};
    if (Failure refused = m_queue.Submit(request)) {
        m_failure = {FailureReason::WriteError, refused.error, refused.message};
        return m_failure;
    }
    ++m_inFlight;
    ++m_held.back().pending;
    m_written += size;
    return {};
}

Failure DepthWriter::Put(DriveBuffer& buffer, const Released& released) {
    if (m_failure) {
        released(&buffer, false);
        return m_failure;
    }
    const std::uint64_t id = m_firstId + m_held.size();
    m_held.push_back({&buffer, 0});
    const std::byte* const data = buffer.bytes.get();
    const std::size_t size = buffer.length;
    const auto blockAt = [&](std::size_t from) { return std::min(kHoleBlock, size - from); };
    for (std::size_t at = 0; at < size;) {
        const bool zero = m_target.skipZeroBlocks && IsZero(data + at, blockAt(at));
        std::size_t end = at + blockAt(at);
        while (end < size && m_target.skipZeroBlocks && IsZero(data + end, blockAt(end)) == zero) {
            end += blockAt(end);
        }
        if (zero) {
            m_leftOut += end - at;
            at = end;
            continue;
        }
        const std::uint64_t offset = buffer.offset + at;
        std::size_t aligned = end - at;
        if (offset % m_target.alignment == 0) {
            aligned -= aligned % m_target.alignment;
        } else {
            aligned = 0;
        }
        if (aligned > 0) {
            if (Failure failure = Start(id, data + at, aligned, offset)) {
                return failure;
            }
        }
        if (aligned < end - at) {
            const io::Request rest{
                io::Direction::Write, m_target.cached,  const_cast<std::byte*>(data + at + aligned),
                end - at - aligned,   offset + aligned, id};
            const io::Completion written = io::TransferNow(rest);
            m_written += written.done;
            if (written.error != 0) {
                m_failure = {FailureReason::WriteError, written.error, {}};
                return m_failure;
            }
        }
        at = end;
    }
    while (!m_held.empty() && m_held.front().pending == 0) {
        ReleaseOldest(released);
    }
    return m_failure;
}

Failure DepthWriter::ReleaseOldest(const Released& released) {
    if (m_held.empty()) {
        return m_failure;
    }
    while (m_held.front().pending > 0) {
        WaitOne();
    }
    DriveBuffer* const buffer = m_held.front().buffer;
    m_held.pop_front();
    ++m_firstId;
    released(buffer, !m_failure);
    return m_failure;
}

Failure DepthWriter::Settle(const Released& released) {
    while (!m_held.empty()) {
        ReleaseOldest(released);
    }
    return m_failure;
}

}  // namespace imaging
