#include "image/block_map.h"

#include <expat.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "image/image_file.h"
#include "image/target_folder.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

namespace {

constexpr std::size_t kBlock = 4096;
// A bmap names each range on a line: a few MB even for the largest images.
constexpr std::uint64_t kLongestBlockMap = 64 << 20;

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    const auto last = text.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

bool ParseCount(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 19) {
        return false;
    }
    value = std::stoull(text);
    return true;
}

// What expat hands over, element by element.
struct Parse {
    BlockMap* map = nullptr;
    std::string text;
    std::string rangeChecksum;
    std::string fileChecksum;
    bool failed = false;
};

void XMLCALL Start(void* data, const XML_Char* name, const XML_Char** attributes) {
    auto& parse = *static_cast<Parse*>(data);
    parse.text.clear();
    if (std::strcmp(name, "Range") == 0) {
        parse.rangeChecksum.clear();
        for (const XML_Char** attribute = attributes; *attribute != nullptr; attribute += 2) {
            if (std::strcmp(attribute[0], "chksum") == 0) {
                parse.rangeChecksum = attribute[1];
            } else if (std::strcmp(attribute[0], "sha1") == 0) {
                // Version 1.0 to 1.3 name SHA-1 in the attribute and have no ChecksumType.
                parse.rangeChecksum = attribute[1];
                parse.map->checksumKind = HashKind::Sha1;
            }
        }
    }
}

void XMLCALL Text(void* data, const XML_Char* text, int length) {
    static_cast<Parse*>(data)->text.append(text, static_cast<std::size_t>(length));
}

void XMLCALL End(void* data, const XML_Char* name) {
    auto& parse = *static_cast<Parse*>(data);
    BlockMap& map = *parse.map;
    const std::string text = Trimmed(parse.text);
    if (std::strcmp(name, "ImageSize") == 0) {
        parse.failed = parse.failed || !ParseCount(text, map.imageSize);
    } else if (std::strcmp(name, "BlockSize") == 0) {
        parse.failed = parse.failed || !ParseCount(text, map.blockSize) || map.blockSize == 0;
    } else if (std::strcmp(name, "ChecksumType") == 0) {
        map.checksumKind = text == "sha1" ? HashKind::Sha1 : HashKind::Sha256;
        parse.failed = parse.failed || (text != "sha1" && text != "sha256");
    } else if (std::strcmp(name, "BmapFileChecksum") == 0 ||
               std::strcmp(name, "BmapFileSHA1") == 0) {
        parse.fileChecksum = text;
    } else if (std::strcmp(name, "Range") == 0) {
        BlockRange range;
        const std::size_t dash = text.find('-');
        const bool read =
            ParseCount(text.substr(0, dash), range.first) &&
            ParseCount(dash == std::string::npos ? text.substr(0, dash) : text.substr(dash + 1),
                       range.last);
        const bool ordered = map.ranges.empty() || map.ranges.back().last < range.first;
        parse.failed = parse.failed || !read || range.last < range.first || !ordered;
        range.checksum = parse.rangeChecksum;
        std::transform(range.checksum.begin(), range.checksum.end(), range.checksum.begin(),
                       [](char c) { return static_cast<char>(std::tolower(c)); });
        map.ranges.push_back(std::move(range));
    }
    parse.text.clear();
}

// The file's own checksum is of its text with that checksum's value written as zeros.
bool FileChecksumHolds(std::string text, const std::string& checksum, HashKind kind) {
    const std::size_t at = text.find(checksum);
    if (at == std::string::npos) {
        return false;
    }
    text.replace(at, checksum.size(), std::string(checksum.size(), '0'));
    Digest digest(kind);
    digest.Update(text.data(), text.size());
    std::string hex;
    return !digest.Finish(hex) && hex == checksum;
}

std::string RangeText(const BlockRange& range) {
    return range.first == range.last
               ? std::to_string(range.first)
               : std::to_string(range.first) + "-" + std::to_string(range.last);
}

}  // namespace

std::uint64_t BlockMap::MappedBytes() const {
    std::uint64_t bytes = 0;
    for (const BlockRange& range : ranges) {
        const std::uint64_t end = std::min((range.last + 1) * blockSize, imageSize);
        bytes += end > range.first * blockSize ? end - range.first * blockSize : 0;
    }
    return bytes;
}

bool BlockMap::Maps(std::uint64_t offset, std::uint64_t size) const {
    const std::uint64_t first = offset / blockSize;
    const std::uint64_t last = (offset + size - 1) / blockSize;
    const auto range = std::lower_bound(
        ranges.begin(), ranges.end(), first,
        [](const BlockRange& range, std::uint64_t block) { return range.last < block; });
    return range != ranges.end() && range->first <= last;
}

std::optional<std::filesystem::path> FindBlockMap(const std::string& path) {
    std::filesystem::path name(path);
    for (std::filesystem::path stem = name;; stem = stem.parent_path() / stem.stem()) {
        std::filesystem::path candidate = stem;
        candidate += ".bmap";
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error)) {
            return candidate;
        }
        if (!stem.has_extension()) {
            return std::nullopt;
        }
    }
}

Failure ReadBlockMap(const std::filesystem::path& path, BlockMap& map) {
    map = {};
    map.fileName = path.filename().string();
    std::string text;
    if (Failure failure = ReadSideFile(path, kLongestBlockMap, text)) {
        return failure;
    }
    const auto refused = [&](const std::string& why) {
        return Failure{FailureReason::ImageRefused, 0, map.fileName + " " + why};
    };
    Parse parse;
    parse.map = &map;
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (parser == nullptr) {
        return refused("cannot be read: no memory for its parser");
    }
    XML_SetUserData(parser, &parse);
    XML_SetElementHandler(parser, Start, End);
    XML_SetCharacterDataHandler(parser, Text);
    const bool parsed =
        XML_Parse(parser, text.data(), static_cast<int>(text.size()), XML_TRUE) == XML_STATUS_OK;
    const std::string said = parsed ? "" : XML_ErrorString(XML_GetErrorCode(parser));
    XML_ParserFree(parser);
    if (!parsed) {
        return refused("is not sound XML: " + said);
    }
    // Every range within the image, every checksum of the kind the map names, so nothing about
    // the map can fail once the card is being written.
    const std::size_t digits = map.checksumKind == HashKind::Sha1 ? 40 : 64;
    const bool sound =
        !parse.failed && map.imageSize != 0 && map.blockSize <= map.imageSize &&
        (map.ranges.empty() ||
         map.ranges.back().last < (map.imageSize + map.blockSize - 1) / map.blockSize) &&
        std::all_of(map.ranges.begin(), map.ranges.end(), [&](const BlockRange& range) {
            return range.checksum.empty() || range.checksum.size() == digits;
        });
    if (!sound) {
        return refused("is not a sound bmap");
    }
    const HashKind fileKind = parse.fileChecksum.size() == 40 ? HashKind::Sha1 : HashKind::Sha256;
    if (!parse.fileChecksum.empty() && !FileChecksumHolds(text, parse.fileChecksum, fileKind)) {
        return refused("fails its own checksum: it is damaged");
    }
    return {};
}

std::string BlockMapText(const BlockMap& map) {
    std::uint64_t mappedBlocks = 0;
    for (const BlockRange& range : map.ranges) {
        mappedBlocks += range.last - range.first + 1;
    }
    const std::string zeros(64, '0');
    std::ostringstream text;
    text << "<?xml version=\"1.0\" ?>\n"
         << "<bmap version=\"2.0\">\n"
         << "    <ImageSize> " << map.imageSize << " </ImageSize>\n"
         << "    <BlockSize> " << map.blockSize << " </BlockSize>\n"
         << "    <BlocksCount> " << (map.imageSize + map.blockSize - 1) / map.blockSize
         << " </BlocksCount>\n"
         << "    <MappedBlocksCount> " << mappedBlocks << " </MappedBlocksCount>\n"
         << "    <ChecksumType> sha256 </ChecksumType>\n"
         << "    <BmapFileChecksum> " << zeros << " </BmapFileChecksum>\n"
         << "    <BlockMap>\n";
    for (const BlockRange& range : map.ranges) {
        text << "        <Range chksum=\"" << range.checksum << "\"> " << RangeText(range)
             << " </Range>\n";
    }
    text << "    </BlockMap>\n</bmap>\n";
    std::string result = text.str();
    Digest digest(HashKind::Sha256);
    digest.Update(result.data(), result.size());
    std::string hex;
    if (!digest.Finish(hex)) {
        result.replace(result.find(zeros), zeros.size(), hex);
    }
    return result;
}

BlockMapBuilder::BlockMapBuilder() {
    m_map.blockSize = kBlock;
}

Failure BlockMapBuilder::CloseRange() {
    if (m_range) {
        if (Failure failure = m_range->Finish(m_map.ranges.back().checksum)) {
            m_failure = failure;
        }
        m_range.reset();
    }
    return m_failure;
}

void BlockMapBuilder::Block(const std::byte* block, std::size_t size) {
    const std::uint64_t number = m_blocks++;
    if (IsZero(block, size)) {
        CloseRange();
        return;
    }
    if (!m_range) {
        m_range.emplace(HashKind::Sha256);
        m_map.ranges.push_back({number, number, {}});
    }
    m_range->Update(block, size);
    m_map.ranges.back().last = number;
}

void BlockMapBuilder::Update(const std::byte* data, std::size_t size) {
    m_offset += size;
    while (size > 0) {
        const std::size_t take = std::min(size, kBlock - m_partial.size());
        if (m_partial.empty() && take == kBlock) {
            Block(data, kBlock);
        } else {
            m_partial.insert(m_partial.end(), data, data + take);
            if (m_partial.size() == kBlock) {
                Block(m_partial.data(), kBlock);
                m_partial.clear();
            }
        }
        data += take;
        size -= take;
    }
}

Failure BlockMapBuilder::Finish(BlockMap& map) {
    // The image's last block, where it ends within one, counts with the bytes it has.
    if (!m_partial.empty()) {
        Block(m_partial.data(), m_partial.size());
        m_partial.clear();
    }
    CloseRange();
    m_map.imageSize = m_offset;
    map = m_map;
    return m_failure;
}

}  // namespace imaging
