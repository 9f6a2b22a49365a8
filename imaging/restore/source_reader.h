#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "read/buffer_ring.h"
#include "read/digest.h"
#include "restore/block_map_check.h"
#include "restore/image_source.h"
#include "run/copy_job.h"

namespace imaging {

// The image's side of a restore, on a thread of its own: reads (and decompresses) the image
// into the ring's buffers, in order, to its end, and hashes every byte handed over, so the
// card's bytes are known by their SHA-256 before the card is read back.
class SourceReader {
public:
    // `alsoHash`: a second hash of the same bytes, of a kind other than SHA-256; `check`: the
    // ranges of a block map the bytes are checked against as they pass.
    SourceReader(const StageLink& run, ImageSource& source, BufferRing& ring,
                 std::optional<HashKind> alsoHash = std::nullopt, BlockMapCheck* check = nullptr)
        : m_run(run), m_source(source), m_ring(ring), m_check(check) {
        if (alsoHash) {
            m_also.emplace(*alsoHash);
        }
    }

    // The thread's body: returns once the image is read, has failed, the run is cancelled or
    // the writer has stopped; it then has finished the ring.
    void Run();

    // After Run: the bytes handed over, and their SHA-256.
    std::uint64_t Bytes() const { return m_bytes; }
    error::Failure FinishDigest(std::string& hex) { return m_digest.Finish(hex); }
    // After Run: the second hash, where one was asked for.
    error::Failure FinishAlsoDigest(std::string& hex) {
        hex.clear();
        return m_also ? m_also->Finish(hex) : error::Failure{};
    }

private:
    StageLink m_run;
    ImageSource& m_source;
    BufferRing& m_ring;
    BlockMapCheck* m_check;
    Digest m_digest;
    std::optional<Digest> m_also;
    std::uint64_t m_bytes = 0;
};

}  // namespace imaging
