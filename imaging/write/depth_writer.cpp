#include "write/depth_writer.h"

#include <algorithm>

#include "positioned_io.h"
#include "stage/blocks.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

DepthWriter::~DepthWriter() {
    while (m_inFlight > 0) {
        WaitOne();
    }
}

void DepthWriter::WaitOne() {
    const io::Completion completion = [this] {
        const TimedWait waited(m_times, Wait::WriterWaitsWrites);
        return m_queue.Wait();
    }();
    --m_inFlight;
    const bool held = completion.tag >= m_firstId && completion.tag - m_firstId < m_held.size();
    if (completion.error != 0 && !m_failure) {
        m_failure = {FailureReason::WriteError, completion.error, {}};
        if (held) {
            m_failure.at = m_held[completion.tag - m_firstId].firstWrite;
        }
    }
    if (held) {
        Held& buffer = m_held[completion.tag - m_firstId];
        if (--buffer.pending == 0 && m_times != nullptr) {
            m_times->Add(Wait::WriteInFlight, std::chrono::steady_clock::now() - buffer.started);
        }
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
        m_failure = {FailureReason::WriteError, refused.error, refused.message, offset};
        return m_failure;
    }
    ++m_inFlight;
    if (m_held.back().pending++ == 0) {
        m_held.back().firstWrite = offset;
        m_held.back().started = std::chrono::steady_clock::now();
    }
    m_written += size;
    return {};
}

Failure DepthWriter::Put(DriveBuffer& buffer, const Released& released) {
    if (m_failure) {
        released(&buffer, false);
        return m_failure;
    }
    const std::uint64_t id = m_firstId + m_held.size();
    m_held.push_back({&buffer, 0, 0, {}});
    const std::byte* const data = buffer.bytes.get();
    const std::uint64_t bufferEnd = buffer.offset + buffer.length;
    const std::size_t size =
        m_target.to > buffer.offset ? std::min(bufferEnd, m_target.to) - buffer.offset : 0;
    const std::size_t first = m_target.from > buffer.offset
                                  ? std::min<std::uint64_t>(m_target.from - buffer.offset, size)
                                  : 0;
    const auto blockAt = [&](std::size_t from) { return std::min(kHoleBlock, size - from); };
    const bool mayLeaveOut = m_target.skipZeroBlocks || m_target.mapped;
    const auto leftOut = [&](std::size_t from) {
        return (m_target.skipZeroBlocks && IsZero(data + from, blockAt(from))) ||
               (m_target.mapped && !m_target.mapped(buffer.offset + from, blockAt(from)));
    };
    for (std::size_t at = first; at < size;) {
        const bool zero = mayLeaveOut && leftOut(at);
        // Without blocks to leave out, the whole span is one run, and one write.
        std::size_t stop = mayLeaveOut ? at + blockAt(at) : size;
        while (stop < size && leftOut(stop) == zero) {
            stop += blockAt(stop);
        }
        if (zero) {
            m_leftOut += stop - at;
            at = stop;
            continue;
        }
        if (Failure failure = Write(id, data + at, stop - at, buffer.offset + at)) {
            return failure;
        }
        at = stop;
    }
    while (!m_held.empty() && m_held.front().pending == 0) {
        ReleaseOldest(released);
    }
    return m_failure;
}

// What keeps the alignment goes in flight; the rest, which shares no block with it, through the
// cache at once.
Failure DepthWriter::Write(std::uint64_t id, const std::byte* data, std::size_t size,
                           std::uint64_t offset) {
    const std::size_t aligned =
        offset % m_target.alignment == 0 ? size - size % m_target.alignment : 0;
    if (aligned > 0) {
        if (Failure failure = Start(id, data, aligned, offset)) {
            return failure;
        }
    }
    if (aligned == size) {
        return {};
    }
    const io::Request rest{
        io::Direction::Write, m_target.cached,  const_cast<std::byte*>(data + aligned),
        size - aligned,       offset + aligned, id};
    const io::Completion written = io::TransferNow(rest);
    m_written += written.done;
    if (written.error != 0) {
        m_failure = {FailureReason::WriteError, written.error, {}, offset + aligned};
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
