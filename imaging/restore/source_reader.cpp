#include "restore/source_reader.h"

#include <vector>

namespace imaging {

using error::Failure;
using error::FailureReason;

void SourceReader::Run() {
    Failure failure;
    bool going = true;
    for (const ByteRange& range : m_reading.ranges) {
        going = going && PassTo(range.offset, failure);
        while (going && m_bytes < range.End()) {
            going = HandOverNext(range.End(), failure);
        }
    }
    // On to the image's end: its length, and a compressed image's own checks, are known there.
    if (going && !m_ring.Stopped()) {
        PassTo(UINT64_MAX, failure);
    }
    m_ring.Finish(std::move(failure));
}

bool SourceReader::HandOverNext(std::uint64_t end, Failure& failure) {
    if (m_run.Cancelled()) {
        failure = {FailureReason::Cancelled, 0, {}};
        return false;
    }
    DriveBuffer* buffer = m_ring.NextEmpty(BufferRing::Waiting::Yes);
    if (buffer == nullptr) {
        return false;
    }
    buffer->offset = m_bytes;
    const std::size_t want = std::min<std::uint64_t>(buffer->capacity, end - m_bytes);
    {
        const TimedWait reading(m_run.Times(), Wait::ReadInFlight);
        failure = ReadFull(m_source, buffer->bytes.get(), want, buffer->length);
    }
    if (!failure && m_reading.check != nullptr) {
        failure = m_reading.check->Update(buffer->offset, buffer->bytes.get(), buffer->length);
    }
    if (buffer->length == 0 || failure) {
        m_ring.GiveBack(buffer);
        return false;
    }
    Hash(buffer->bytes.get(), buffer->length);
    m_bytes += buffer->length;
    const bool whole = buffer->length == want;
    m_ring.HandOver(buffer);
    return whole;
}

bool SourceReader::PassTo(std::uint64_t offset, Failure& failure) {
    if (offset <= m_bytes) {
        return true;
    }
    if (!m_reading.hashAll) {
        std::uint64_t skipped = 0;
        failure = m_source.Skip(offset - m_bytes, skipped);
        m_bytes += skipped;
        return !failure && m_bytes == offset;
    }
    std::vector<std::byte> passed(std::min<std::uint64_t>(offset - m_bytes, kRunBufferSize));
    while (m_bytes < offset) {
        if (m_ring.Stopped()) {
            return false;
        }
        if (m_run.Cancelled()) {
            failure = {FailureReason::Cancelled, 0, {}};
            return false;
        }
        std::size_t got = 0;
        failure = m_source.Read(passed.data(),
                                std::min<std::uint64_t>(passed.size(), offset - m_bytes), got);
        if (failure || got == 0) {
            return false;
        }
        Hash(passed.data(), got);
        m_bytes += got;
    }
    return true;
}

void SourceReader::Hash(const std::byte* data, std::size_t size) {
    const TimedWait hashing(m_run.Times(), Wait::Hash);
    if (m_reading.hashAll) {
        m_digest.Update(data, size);
    }
    if (m_also) {
        m_also->Update(data, size);
    }
}

}  // namespace imaging
