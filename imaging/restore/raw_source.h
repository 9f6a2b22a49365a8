#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "image/target_folder.h"
#include "io_queue.h"
#include "restore/image_source.h"
#include "stage/buffer_ring.h"

namespace imaging {

// A raw image, read ahead: several reads of the file in flight, so the disk never waits while
// the reader hashes; and, `aroundCache`, straight from the disk where the file system allows
// it, so a restore fills no page cache with an image it reads once (filling it cost a restore
// half its speed in every other run on a virtual machine, where each new page of cache may be a
// trip to the host).
class RawSource : public ImageSource {
public:
    RawSource(ImageHandle file, std::uint64_t length, bool aroundCache);
    // Waits for the reads in flight: their buffers are the source's.
    ~RawSource() override;
    RawSource(const RawSource&) = delete;
    RawSource& operator=(const RawSource&) = delete;

    error::Failure Read(std::byte* data, std::size_t size, std::size_t& got) override;
    error::Failure Skip(std::uint64_t bytes, std::uint64_t& skipped) override;
    std::optional<std::uint64_t> Length() const override { return m_length; }
    std::uint64_t FileLength() const override { return m_length; }
    std::uint64_t FileRead() const override { return m_position; }

private:
    struct Chunk {
        std::unique_ptr<std::byte[], AlignedDelete> bytes;
        std::uint64_t offset = 0;
        std::size_t done = 0;
        int error = 0;
        bool ended = false;
    };

    // Puts every free chunk in flight, from m_next on.
    void ReadAhead();
    // Waits until the oldest chunk's read has ended.
    void WaitForFront();
    // Waits for every read in flight and forgets them: the next reads begin at m_position.
    void Restart();

    ImageHandle m_file;
    ImageHandle m_direct;  // not open where the file system refuses reads around its cache
    std::uint64_t m_length;
    io::QueueChoice m_choice;
    std::unique_ptr<io::Queue> m_queue;
    std::vector<Chunk> m_chunks;
    std::deque<Chunk*> m_inFlight;  // oldest first
    std::deque<Chunk*> m_free;
    std::uint64_t m_position = 0;  // the next byte handed out
    std::uint64_t m_next = 0;      // where the next read begins
    bool m_endSeen = false;        // a read has met the file's end
};

}  // namespace imaging
