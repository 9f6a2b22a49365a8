#include "restore/raw_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace imaging {

using error::Failure;
using error::FailureReason;

namespace {

// 4 reads of 4 MiB ahead: the reader hashes a buffer in less time than a read of one takes.
constexpr std::size_t kChunkSize = 4 << 20;
constexpr std::size_t kChunksAhead = 4;

// Reads around the cache must start on the disk's sectors; a file system block keeps every
// disk's.
constexpr std::uint64_t kDirectAlignment = 4096;

}  // namespace

RawSource::RawSource(ImageHandle file, std::uint64_t length, bool aroundCache)
    : m_file(std::move(file)),
      m_length(length),
      m_queue(io::OpenQueue(kChunksAhead, m_choice)),
      m_chunks(kChunksAhead) {
    if (aroundCache) {
        OpenForDirectReads(m_file, m_direct);
    }
    for (Chunk& chunk : m_chunks) {
        chunk.bytes.reset(static_cast<std::byte*>(::operator new[](kChunkSize, kBufferAlignment)));
        m_free.push_back(&chunk);
    }
}

RawSource::~RawSource() {
    Restart();
}

void RawSource::ReadAhead() {
    const io::NativeFile reads = m_direct.IsValid() ? m_direct.Get() : m_file.Get();
    while (!m_endSeen && !m_free.empty()) {
        Chunk* chunk = m_free.front();
        m_free.pop_front();
        chunk->offset = m_next;
        chunk->done = 0;
        chunk->error = 0;
        chunk->ended = false;
        const io::Request request{
            io::Direction::Read, reads,  chunk->bytes.get(),
            kChunkSize,          m_next, static_cast<std::uint64_t>(chunk - m_chunks.data())};
        if (Failure refused = m_queue->Submit(request)) {
            chunk->ended = true;
            chunk->error = refused.error != 0 ? refused.error : EIO;
        }
        m_inFlight.push_back(chunk);
        m_next += kChunkSize;
    }
}

void RawSource::WaitForFront() {
    while (!m_inFlight.front()->ended) {
        const io::Completion completion = m_queue->Wait();
        Chunk& chunk = m_chunks[completion.tag];
        chunk.ended = true;
        chunk.done = completion.done;
        chunk.error = completion.error;
    }
}

void RawSource::Restart() {
    for (Chunk* chunk : m_inFlight) {
        if (!chunk->ended) {
            m_queue->Wait();
        }
        m_free.push_back(chunk);
    }
    m_inFlight.clear();
    m_next = m_position / kDirectAlignment * kDirectAlignment;
    m_endSeen = false;
}

Failure RawSource::Read(std::byte* data, std::size_t size, std::size_t& got) {
    got = 0;
    while (got < size) {
        ReadAhead();
        if (m_inFlight.empty()) {
            break;
        }
        WaitForFront();
        Chunk& front = *m_inFlight.front();
        // A file system that opens a file for reads around its cache and then refuses them:
        // read through the cache.
        if (front.error == EINVAL && m_direct.IsValid()) {
            Restart();
            m_direct.Reset();
            continue;
        }
        if (front.error != 0) {
            return {FailureReason::ReadError, front.error, "reading the image"};
        }
        // A read that came back short met the file's end: none after it holds anything.
        m_endSeen = m_endSeen || front.done < kChunkSize;
        const std::uint64_t end = front.offset + front.done;
        if (m_position < end) {
            const std::size_t take = std::min<std::uint64_t>(size - got, end - m_position);
            std::memcpy(data + got, front.bytes.get() + (m_position - front.offset), take);
            got += take;
            m_position += take;
        }
        if (m_position >= end) {
            m_inFlight.pop_front();
            m_free.push_back(&front);
            if (m_endSeen) {
                Restart();
                m_endSeen = true;
                break;
            }
        }
    }
    return {};
}

Failure RawSource::Skip(std::uint64_t bytes, std::uint64_t& skipped) {
    std::uint64_t now = 0;
    if (Failure failure = LengthOf(m_file, now)) {
        return {FailureReason::ReadError, failure.error, "reading the image"};
    }
    skipped = now > m_position ? std::min(bytes, now - m_position) : 0;
    m_position += skipped;
    // The reads ahead that end before the new position go; one that holds it stays, with those
    // after it, so skipping a small gap costs no read again.
    while (!m_inFlight.empty() && m_inFlight.front()->offset + kChunkSize <= m_position) {
        WaitForFront();
        m_free.push_back(m_inFlight.front());
        m_inFlight.pop_front();
    }
    if (m_inFlight.empty()) {
        Restart();
    }
    return {};
}

}  // namespace imaging
