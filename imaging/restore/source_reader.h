#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "read/byte_ranges.h"
#include "read/digest.h"
#include "restore/block_map_check.h"
#include "restore/image_source.h"
#include "stage/buffer_ring.h"
#include "stage/stage_link.h"

namespace imaging {

// What a restore's source reader hands over, and what it hashes: the image's bytes in `ranges`
// (all of them, or only those that go on the card), each buffer at its own offset. What lies
// between the ranges is passed over, or with `hashAll` read and hashed all the same, so the
// digests cover the whole image; without it, and with ranges that leave gaps, there is no SHA-256.
// `alsoHash`: a second hash of the same bytes, of a kind other than SHA-256; `check`: the ranges
// of a block map the bytes are checked against as they pass.
struct SourceReading {
    ByteRanges ranges = kEverything;
    bool hashAll = true;
    std::optional<HashKind> alsoHash;
    BlockMapCheck* check = nullptr;
};

// The image's side of a restore, on a thread of its own: reads (and decompresses) the image
// into the ring's buffers, in order, to its end; where the whole image is hashed, the card's
// bytes are known by their SHA-256 before the card is read back.
class SourceReader {
public:
    SourceReader(const StageLink& run, ImageSource& source, BufferRing& ring, SourceReading reading)
        : m_run(run), m_source(source), m_ring(ring), m_reading(std::move(reading)) {
        if (m_reading.alsoHash) {
            m_also.emplace(*m_reading.alsoHash);
        }
    }

    // The thread's body: returns once the image is read, has failed, the run is cancelled or
    // the writer has stopped; it then has finished the ring.
    void Run();

    // After Run: where the image ended, and the SHA-256 of its bytes (empty where only some were
    // hashed).
    std::uint64_t Bytes() const { return m_bytes; }
    error::Failure FinishDigest(std::string& hex) {
        hex.clear();
        return m_reading.hashAll ? m_digest.Finish(hex) : error::Failure{};
    }
    // After Run: the second hash, where one was asked for.
    error::Failure FinishAlsoDigest(std::string& hex) {
        hex.clear();
        return m_also ? m_also->Finish(hex) : error::Failure{};
    }

private:
    // Reads the next buffer of the range that ends at `end` and hands it over; false once the
    // image has ended or the writer has stopped.
    bool HandOverNext(std::uint64_t end, error::Failure& failure);
    // Goes on to `offset` without handing anything over; false once the image has ended first.
    bool PassTo(std::uint64_t offset, error::Failure& failure);
    void Hash(const std::byte* data, std::size_t size);

    const StageLink& m_run;
    ImageSource& m_source;
    BufferRing& m_ring;
    SourceReading m_reading;
    Digest m_digest;
    std::optional<Digest> m_also;
    std::uint64_t m_bytes = 0;
};

}  // namespace imaging
