#include "rescue/rescue_map.h"

#include "version.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <iterator>
#include <sstream>
#include <string_view>

namespace imaging {
namespace {

constexpr std::string_view kStatusLetters = "?*/-+";
constexpr std::string_view kSourceMark = "# source: ";

// A map line is at most "0x" and 16 digits twice, the letter and spaces; comments add a little.
constexpr std::uint64_t kLongestLine = 64;
constexpr std::uint64_t kLongestComments = 64 << 10;
constexpr std::uint64_t kSmallestSector = 512;
// A million areas: far more than a failing card leaves, and little enough memory that a file
// planted as a map cannot exhaust it.
constexpr std::uint64_t kLongestMapRead = 64 << 20;

std::string MapLine(std::uint64_t offset, std::uint64_t size, char status) {
    char line[64];
    std::snprintf(line, sizeof line, "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", offset, size,
                  status);
    return line;
}

// A mapfile's number: hexadecimal with 0x, else decimal.
bool ParseNumber(const std::string& text, std::uint64_t& value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* first = text.data() + (hex ? 2 : 0);
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(first, last, value, hex ? 16 : 10);
    return error == std::errc{} && end == last && first != last;
}

}  // namespace

RescueMap::RescueMap(std::uint64_t size) : m_size(size) {
    if (size > 0) {
        m_starts.emplace(0, AreaStatus::NonTried);
        m_bytes[Slot(AreaStatus::NonTried)] = size;
    }
}

std::size_t RescueMap::Slot(AreaStatus status) {
    return kStatusLetters.find(static_cast<char>(status));
}

void RescueMap::Mark(ByteRange range, AreaStatus status) {
    const std::uint64_t begin = range.offset;
    const std::uint64_t end = std::min(range.offset + range.size, m_size);
    if (begin >= end) {
        return;
    }
    for (const std::uint64_t cut : {end, begin}) {
        if (cut < m_size) {
            const auto at = std::prev(m_starts.upper_bound(cut));
            m_starts.emplace_hint(std::next(at), cut, at->second);
        }
    }
    for (auto it = m_starts.find(begin); it != m_starts.end() && it->first < end;) {
        const auto next = std::next(it);
        const std::uint64_t areaEnd = next == m_starts.end() ? m_size : next->first;
        m_bytes[Slot(it->second)] -= areaEnd - it->first;
        it = m_starts.erase(it);
    }
    const auto at = m_starts.emplace(begin, status).first;
    m_bytes[Slot(status)] += end - begin;
    if (const auto next = std::next(at); next != m_starts.end() && next->second == status) {
        m_starts.erase(next);
    }
    if (at != m_starts.begin() && std::prev(at)->second == status) {
        m_starts.erase(at);
    }
}

bool RescueMap::Find(AreaStatus status, std::uint64_t from, std::uint64_t end,
                     ByteRange& area) const {
    end = std::min(end, m_size);
    if (from >= end) {
        return false;
    }
    for (auto it = std::prev(m_starts.upper_bound(from)); it != m_starts.end(); ++it) {
        const std::uint64_t start = std::max(it->first, from);
        if (start >= end) {
            return false;
        }
        if (it->second == status) {
            const auto next = std::next(it);
            const std::uint64_t areaEnd = next == m_starts.end() ? m_size : next->first;
            area = {start, std::min(areaEnd, end) - start};
            return true;
        }
    }
    return false;
}

std::uint64_t RescueMap::BytesWith(AreaStatus status) const {
    return m_bytes[Slot(status)];
}

std::vector<ByteRange> RescueMap::AreasWith(AreaStatus status) const {
    std::vector<ByteRange> areas;
    ByteRange area;
    for (std::uint64_t from = 0; Find(status, from, m_size, area); from = area.offset + area.size) {
        areas.push_back(area);
    }
    return areas;
}

void RescueMap::SetPosition(std::uint64_t position, RescuePhase phase, int pass) {
    m_position = position;
    m_phase = phase;
    m_pass = pass;
}

std::string RescueMap::Format() const {
    char status[64];
    std::snprintf(status, sizeof status, "0x%08" PRIX64 "     %c               %d\n", m_position,
                  static_cast<char>(m_phase), m_pass);
    std::string map = std::string("# Mapfile. Created by kalvor ") + kVersion + "\n";
    if (!m_source.empty()) {
        map += std::string(kSourceMark) + m_source + "\n";
    }
    if (m_phase == RescuePhase::Finished) {
        map += "# Finished\n";
    }
    map += "# current_pos  current_status  current_pass\n";
    map += status;
    map += "#      pos        size  status\n";
    for (auto it = m_starts.begin(); it != m_starts.end(); ++it) {
        const auto next = std::next(it);
        const std::uint64_t areaEnd = next == m_starts.end() ? m_size : next->first;
        map += MapLine(it->first, areaEnd - it->first, static_cast<char>(it->second));
    }
    return map;
}

std::uint64_t RescueMap::LongestText(std::uint64_t size) {
    return std::min((size / kSmallestSector + 2) * kLongestLine + kLongestComments,
                    kLongestMapRead);
}

error::Failure RescueMap::Parse(const std::string& text, std::uint64_t size, RescueMap& map) {
    RescueMap parsed(size);
    std::istringstream lines(text);
    std::string line;
    bool statusLine = false;
    std::uint64_t reached = 0;
    int number = 0;
    const auto refused = [&number](const std::string& why) {
        return error::Failure{error::FailureReason::ImageRefused, 0,
                              "line " + std::to_string(number) + ": " + why};
    };
    while (std::getline(lines, line)) {
        ++number;
        std::istringstream fields(line);
        std::string first;
        if (line.rfind(kSourceMark, 0) == 0) {
            parsed.m_source = line.substr(kSourceMark.size());
            continue;
        }
        if (!(fields >> first) || first[0] == '#') {
            continue;
        }
        if (!statusLine) {
            std::string phase;
            std::uint64_t position = 0;
            if (!(fields >> phase) || !ParseNumber(first, position) || phase.size() != 1) {
                return refused("not a mapfile");
            }
            statusLine = true;
            continue;
        }
        std::string length;
        std::string letter;
        std::uint64_t offset = 0;
        std::uint64_t bytes = 0;
        if (!(fields >> length >> letter) || !ParseNumber(first, offset) ||
            !ParseNumber(length, bytes) || bytes == 0 || letter.size() != 1 ||
            kStatusLetters.find(letter[0]) == std::string_view::npos) {
            return refused("not a mapfile line: " + line);
        }
        if (offset < reached) {
            return refused("areas out of order at " + first);
        }
        if (bytes > size || offset > size - bytes) {
            return refused("it maps more than the " + std::to_string(size) + " bytes imaged");
        }
        parsed.Mark({offset, bytes}, static_cast<AreaStatus>(letter[0]));
        reached = offset + bytes;
    }
    if (!statusLine) {
        return {error::FailureReason::ImageRefused, 0, "not a mapfile"};
    }
    map = std::move(parsed);
    return {};
}

}  // namespace imaging
