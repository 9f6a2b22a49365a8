#include <unzip.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "image/image_format.h"
#include "restore/download_sources.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

namespace {

// The names disk images are published under inside a zip.
constexpr const char* kImageNames[] = {".img", ".iso", ".bin",    ".raw",
                                       ".wic", ".dsk", ".sdcard", ".hddimg"};
// A zip without an image is refused naming this many of its members.
constexpr std::size_t kNamedMembers = 5;
constexpr unsigned long kEncrypted = 1;
constexpr unsigned long kStored = 0;
constexpr unsigned long kDeflated = 8;

bool IsImageName(const std::string& name) {
    return std::any_of(std::begin(kImageNames), std::end(kImageNames),
                       [&](const char* suffix) { return NameEndsWith(name, suffix); });
}

struct Member {
    std::string name;
    unz_file_info64 info{};
    unz64_file_pos position{};
};

// A size field that says its value is in the zip64 extra field.
constexpr std::uint64_t kInZip64Field = 0xFFFFFFFF;
constexpr std::uint16_t kZip64Field = 0x0001;

std::uint64_t LittleEndian(const std::uint8_t* bytes, std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t at = count; at > 0; --at) {
        value = value << 8 | bytes[at - 1];
    }
    return value;
}

// The sizes a zip64 member keeps in its extra field (0x0001: the uncompressed size, then the
// compressed one, each only where the header's own field is 0xFFFFFFFF). Debian 12's minizip
// leaves them unread for a member `zip -fz` writes, with its time and owner fields before it.
void ReadZip64Sizes(const std::vector<std::uint8_t>& extra, unz_file_info64& info) {
    for (std::size_t at = 0; at + 4 <= extra.size();) {
        const auto id = static_cast<std::uint16_t>(LittleEndian(&extra[at], 2));
        const std::size_t size = LittleEndian(&extra[at + 2], 2);
        const std::size_t end = std::min(extra.size(), at + 4 + size);
        if (id == kZip64Field) {
            std::size_t field = at + 4;
            for (ZPOS64_T* value : {&info.uncompressed_size, &info.compressed_size}) {
                if (*value == kInZip64Field && field + 8 <= end) {
                    *value = LittleEndian(&extra[field], 8);
                    field += 8;
                }
            }
        }
        at = end;
    }
}

// Every member the central directory lists, in its order.
Failure ListMembers(unzFile zip, std::vector<Member>& members) {
    for (int code = unzGoToFirstFile(zip); code != UNZ_END_OF_LIST_OF_FILE;
         code = unzGoToNextFile(zip)) {
        Member member;
        std::vector<char> name(1024);
        std::vector<std::uint8_t> extra(1 << 16);
        if (code != UNZ_OK ||
            unzGetCurrentFileInfo64(zip, &member.info, name.data(), name.size() - 1, extra.data(),
                                    extra.size(), nullptr, 0) != UNZ_OK ||
            unzGetFilePos64(zip, &member.position) != UNZ_OK) {
            return {FailureReason::ImageDamaged, 0, "zip: its central directory is damaged"};
        }
        extra.resize(std::min<std::size_t>(member.info.size_file_extra, extra.size()));
        ReadZip64Sizes(extra, member.info);
        member.name = name.data();
        members.push_back(std::move(member));
    }
    return {};
}

// The largest image among `members`, or why there is none that can be read.
Failure ChooseImage(const std::vector<Member>& members, const Member*& image) {
    image = nullptr;
    for (const Member& member : members) {
        if (IsImageName(member.name) &&
            (image == nullptr || member.info.uncompressed_size > image->info.uncompressed_size)) {
            image = &member;
        }
    }
    if (image == nullptr) {
        std::string held;
        for (std::size_t at = 0; at < std::min(members.size(), kNamedMembers); ++at) {
            held += (at == 0 ? "" : ", ") + members[at].name;
        }
        if (members.size() > kNamedMembers) {
            held += " and " + std::to_string(members.size() - kNamedMembers) + " more";
        }
        return {FailureReason::ImageRefused, 0,
                "the zip holds no disk image (.img .iso .bin .raw .wic .dsk .sdcard .hddimg): " +
                    (held.empty() ? std::string("it is empty") : "it holds " + held)};
    }
    if ((image->info.flag & kEncrypted) != 0) {
        return {FailureReason::ImageRefused, 0, image->name + " in the zip is encrypted"};
    }
    if (image->info.compression_method != kStored && image->info.compression_method != kDeflated) {
        return {FailureReason::ImageRefused, 0,
                image->name + " in the zip is compressed with method " +
                    std::to_string(image->info.compression_method) +
                    ", which is not read here (only stored and deflate)"};
    }
    return {};
}

class ZipSource : public ImageSource {
public:
    ZipSource(unzFile zip, std::uint64_t length, Member member)
        : m_zip(zip), m_length(length), m_member(std::move(member)) {}
    ~ZipSource() override {
        if (m_open) {
            unzCloseCurrentFile(m_zip);
        }
        unzClose(m_zip);
    }
    ZipSource(const ZipSource&) = delete;
    ZipSource& operator=(const ZipSource&) = delete;

    Failure Start() {
        m_open = unzGoToFilePos64(m_zip, &m_member.position) == UNZ_OK &&
                 unzOpenCurrentFile(m_zip) == UNZ_OK;
        return m_open ? Failure{}
                      : Failure{FailureReason::ImageDamaged, 0,
                                "zip: " + m_member.name + " cannot be opened in it"};
    }

    // The member's CRC is checked once it has been read whole.
    Failure Read(std::byte* data, std::size_t size, std::size_t& got) override {
        got = 0;
        if (!m_open) {
            return {};
        }
        const int read = unzReadCurrentFile(
            m_zip, data, static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX)));
        if (read < 0) {
            return {FailureReason::ImageDamaged, 0,
                    "zip: " + m_member.name + " is damaged, or the zip ends early"};
        }
        got = static_cast<std::size_t>(read);
        m_done += got;
        m_crc = crc32_z(m_crc, reinterpret_cast<const Bytef*>(data), got);
        if (read == 0) {
            m_open = false;
            // Checked here as well as by minizip, whose own sizes a zip64 member may leave unread.
            const bool whole =
                m_done == m_member.info.uncompressed_size && m_crc == m_member.info.crc;
            if (unzCloseCurrentFile(m_zip) != UNZ_OK || !whole) {
                return {FailureReason::ImageDamaged, 0,
                        "zip: " + m_member.name + " fails its CRC check or its length"};
            }
        }
        return {};
    }
    std::optional<std::uint64_t> Length() const override { return m_member.info.uncompressed_size; }
    std::uint64_t FileLength() const override { return m_length; }
    std::uint64_t FileRead() const override {
        const std::uint64_t whole = m_member.info.uncompressed_size;
        return whole == 0 ? 0
                          : static_cast<std::uint64_t>(static_cast<double>(m_done) / whole *
                                                       m_member.info.compressed_size);
    }
    std::string Inside() const override { return m_member.name; }

private:
    unzFile m_zip;
    std::uint64_t m_length;
    Member m_member;
    bool m_open = false;
    std::uint64_t m_done = 0;
    uLong m_crc = crc32(0, nullptr, 0);
};

}  // namespace

Failure OpenZipSource(const std::string& path, std::uint64_t length,
                      std::unique_ptr<ImageSource>& source) {
    const unzFile zip = unzOpen64(path.c_str());
    if (zip == nullptr) {
        return {FailureReason::ImageDamaged, 0,
                "zip: its central directory is missing or damaged (is the file cut short?)"};
    }
    std::vector<Member> members;
    const Member* image = nullptr;
    Failure failure = ListMembers(zip, members);
    if (!failure) {
        failure = ChooseImage(members, image);
    }
    if (failure) {
        unzClose(zip);
        return failure;
    }
    auto zipped = std::make_unique<ZipSource>(zip, length, *image);
    if (Failure started = zipped->Start()) {
        return started;
    }
    source = std::move(zipped);
    return {};
}

}  // namespace imaging
