#include "restore/card_compare.h"

#include <algorithm>
#include <cstring>

#include "image/image_file.h"
#include "restore/image_facts.h"
#include "run/run_controller.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

namespace {

// `patch`, placed at `at`, laid over `bytes`, placed at `offset`, where they meet.
void Overlay(std::vector<std::byte>& bytes, std::uint64_t offset,
             const std::vector<std::byte>& patch, std::uint64_t at) {
    const std::uint64_t from = std::max(offset, at);
    const std::uint64_t to = std::min(offset + bytes.size(), at + patch.size());
    if (from < to) {
        std::memcpy(bytes.data() + (from - offset), patch.data() + (from - at), to - from);
    }
}

}  // namespace

Failure CardCompare::Expected(std::size_t size) {
    m_expected.resize(size);
    std::size_t got = 0;
    if (Failure failure = ReadFull(m_image, m_expected.data(), size, got)) {
        return failure;
    }
    if (got < size) {
        return {FailureReason::ImageDamaged, 0, "the image ended sooner than when it was written"};
    }
    Overlay(m_expected, m_offset, m_head, 0);
    if (!m_fit.backup.empty()) {
        Overlay(m_expected, m_offset, m_fit.backup, m_fit.backupAt);
    }
    return {};
}

Failure CardCompare::Write(const std::byte* data, std::size_t size) {
    if (Failure failure = Expected(size)) {
        return failure;
    }
    for (std::size_t block = 0; block < size; block += kHoleBlock) {
        const std::size_t length = std::min(kHoleBlock, size - block);
        const std::byte* const expected = m_expected.data() + block;
        if (m_skipEmpty && m_offset + block >= kTableArea && IsZero(expected, length)) {
            continue;
        }
        const auto differs = std::mismatch(data + block, data + block + length, expected);
        if (differs.first != data + block + length) {
            const std::uint64_t at = m_offset + static_cast<std::uint64_t>(differs.first - data);
            return {FailureReason::ContentDiffers, 0,
                    "at " + GroupedNumber(at) + " bytes, " +
                        std::to_string(at * 100 / m_cardLength) + " % of the card"};
        }
    }
    m_offset += size;
    return {};
}

}  // namespace imaging
