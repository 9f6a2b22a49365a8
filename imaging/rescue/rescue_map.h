#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "failure.h"
#include "read/byte_ranges.h"

namespace imaging {

// How far a rescue got with an area of the image, in the letters of GNU ddrescue's mapfile.
enum class AreaStatus : char {
    NonTried = '?',    // not read yet
    NonTrimmed = '*',  // a read of it failed; its edges are still to be read sector by sector
    NonScraped = '/',  // between the trimmed edges; each sector is still to be read
    BadSector = '-',   // a sector that failed on its own
    Finished = '+',    // read, and in the image
};

// What a rescue is doing, as the map's current_status says it.
enum class RescuePhase : char {
    Copying = '?',
    Trimming = '*',
    Scraping = '/',
    Retrying = '-',
    Finished = '+',
};

// Which bytes of an image of `size` bytes a rescue has read, which have failed and which are still
// to be tried: the map a rescue keeps beside its image, readable and resumable by GNU ddrescue.
// Every byte has one status; neighbouring areas of one status are one area.
class RescueMap {
public:
    explicit RescueMap(std::uint64_t size);

    // The map in `text`, for an image of `size` bytes; what it leaves out is still to be tried.
    // ImageRefused, naming the line, for a text that is no mapfile or one that reaches past
    // `size`.
    static error::Failure Parse(const std::string& text, std::uint64_t size, RescueMap& map);

    void Mark(ByteRange range, AreaStatus status);

    // The first bytes at or after `from`, and before `end`, with `status`: false when there are
    // none, else `area` ends where the status does or at `end`.
    bool Find(AreaStatus status, std::uint64_t from, std::uint64_t end, ByteRange& area) const;

    std::uint64_t BytesWith(AreaStatus status) const;
    std::vector<ByteRange> AreasWith(AreaStatus status) const;

    void SetPosition(std::uint64_t position, RescuePhase phase, int pass);

    // The mapfile's text.
    std::string Format() const;

    // Which drive the map is of (see SourceMark), kept in a comment line that GNU ddrescue
    // skips; empty for a map without one.
    const std::string& Source() const { return m_source; }
    void SetSource(std::string source) { m_source = std::move(source); }

    // The longest map text read for an image of `size` bytes: one line per sector at most, and
    // never more than a fixed bound that memory holds easily.
    static std::uint64_t LongestText(std::uint64_t size);

    std::uint64_t Size() const { return m_size; }

private:
    static std::size_t Slot(AreaStatus status);

    std::uint64_t m_size;
    std::map<std::uint64_t, AreaStatus> m_starts;  // each area runs to the next start or m_size
    std::array<std::uint64_t, 5> m_bytes{};        // per status
    std::uint64_t m_position = 0;
    RescuePhase m_phase = RescuePhase::Copying;
    int m_pass = 1;
    std::string m_source;
};

}  // namespace imaging
