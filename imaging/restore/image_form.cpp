#include "restore/image_form.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <vector>

#include "image/target_folder.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

namespace {

struct Form {
    ImageFormat format;
    const char* suffix;
    std::vector<std::uint8_t> magic;
};

const std::array<Form, 5>& Forms() {
    static const std::array<Form, 5> forms = {{
        {ImageFormat::Xz, ".xz", {0xFD, '7', 'z', 'X', 'Z', 0x00}},
        {ImageFormat::Zip, ".zip", {'P', 'K', 0x03, 0x04}},
        {ImageFormat::Bzip2, ".bz2", {'B', 'Z', 'h'}},
        {ImageFormat::Zstd, ".zst", {0x28, 0xB5, 0x2F, 0xFD}},
        {ImageFormat::Gzip, ".gz", {0x1F, 0x8B}},
    }};
    return forms;
}

bool Begins(const std::vector<std::uint8_t>& head, const std::vector<std::uint8_t>& magic) {
    return head.size() >= magic.size() && std::equal(magic.begin(), magic.end(), head.begin());
}

// A zstd file may open with a skippable frame: its magic is 0x184D2A5? in little-endian order.
bool BeginsZstdSkippable(const std::vector<std::uint8_t>& head) {
    return head.size() >= 4 && (head[0] & 0xF0) == 0x50 && head[1] == 0x2A && head[2] == 0x4D &&
           head[3] == 0x18;
}

}  // namespace

Failure FormOfImage(const std::string& path, ImageFormat& format, std::string& note) {
    note.clear();
    ImageHandle file;
    if (Failure failure = OpenToRead(path, file)) {
        return {FailureReason::ImageRefused, failure.error, failure.message};
    }
    std::vector<std::uint8_t> head(8);
    std::size_t got = 0;
    if (Failure failure = ReadSome(file, head.data(), head.size(), got)) {
        return {FailureReason::ImageRefused, failure.error, failure.message};
    }
    head.resize(got);
    const auto named = std::find_if(Forms().begin(), Forms().end(), [&](const Form& form) {
        return NameEndsWith(path, form.suffix);
    });
    auto held = std::find_if(Forms().begin(), Forms().end(),
                             [&](const Form& form) { return Begins(head, form.magic); });
    if (held == Forms().end() && BeginsZstdSkippable(head)) {
        held = Forms().begin() + 3;
    }
    if (held == Forms().end()) {
        if (named != Forms().end() && got > 0) {
            return {FailureReason::ImageDamaged, 0,
                    std::string("its name ends in ") + named->suffix +
                        ", but its first bytes are no " + FormatName(named->format) +
                        " header, nor any other known form"};
        }
        format = named != Forms().end() ? named->format : ImageFormat::Raw;
        return {};
    }
    format = held->format;
    if (named != held) {
        note = std::string(named != Forms().end() ? "named " + std::string(named->suffix) + ", but "
                                                  : "") +
               "holds " + FormatName(held->format) + " data";
    }
    return {};
}

}  // namespace imaging
