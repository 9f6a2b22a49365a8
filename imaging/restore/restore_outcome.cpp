#include "restore/restore_outcome.h"

#include <algorithm>
#include <cstdio>

#include "run/run_controller.h"

namespace imaging {

namespace {

std::string Speed(std::uint64_t bytes, std::int64_t seconds) {
    char text[32];
    std::snprintf(
        text, sizeof text, "%.1f MB/s",
        static_cast<double>(bytes) / 1e6 / static_cast<double>(seconds > 0 ? seconds : 1));
    return text;
}

// "2 sectors of the card, which may hold its marks: at bytes 0 and 16,776,704"; the first few
// named.
std::string NamedSectors(const CopyResult& result) {
    constexpr std::size_t kNamed = 4;
    const std::vector<std::uint64_t>& sectors = result.probeNotPutBack;
    std::string text =
        std::to_string(sectors.size()) +
        (sectors.size() == 1 ? " sector of the card, which may hold its mark: at byte "
                             : " sectors of the card, which may hold its marks: at "
                               "bytes ");
    for (std::size_t at = 0; at < std::min(sectors.size(), kNamed); ++at) {
        text += (at == 0                    ? ""
                 : at + 1 == sectors.size() ? " and "
                                            : ", ") +
                GroupedNumber(sectors[at]);
    }
    return text + (sectors.size() > kNamed ? " and more" : "");
}

}  // namespace

std::string DescribeRestore(const CopyRequest& request, const CopyResult& result) {
    if (result.outcome != Outcome::Succeeded) {
        std::string line = DescribeFailedRun(result, "the card");
        if (!result.probeNotPutBack.empty()) {
            line += "; the capacity probe could not put back " + NamedSectors(result);
        } else if (!result.cardWritten) {
            line += "; nothing was written to the card";
        } else if (!result.tableWritten) {
            line += "; the card holds part of the image and no partition table";
        }
        return line;
    }
    std::string line = result.verified ? "Card restored and verified: " : "Card restored: ";
    line += request.devicePath + " holds " + request.imagePath + " (" + FormatName(result.format) +
            " image, " + GroupedNumber(result.driveBytes) + " bytes written in " +
            std::to_string(result.writeSeconds) + " s, " +
            Speed(result.driveBytes, result.writeSeconds) + ")";
    if (!result.sameAsCard.empty()) {
        line += "; the card now holds exactly what " + result.sameAsCard +
                " held when imaged: SHA-256 " + result.driveSha256;
    } else if (result.verified && !result.cardSha256.empty()) {
        line += "; the card reads back as written: SHA-256 " + result.cardSha256 +
                " of its first " + GroupedNumber(result.cardReadBytes) + " bytes";
    }
    if (!result.verified) {
        line += "; not verified";
    }
    if (!result.publishedNote.empty()) {
        line += "; " + result.publishedNote;
    }
    if (!result.tableFitted.empty()) {
        line += "; its " + result.tableFitted + " fitted to the card's " +
                GroupedNumber(result.cardBytes) + " bytes";
    }
    if (!result.blockMapNote.empty()) {
        line += "; " + result.blockMapNote;
    } else if (result.leftAsItWas != 0) {
        line += "; " + Megabytes(result.leftAsItWas) +
                " of empty blocks not written: the card keeps its old content there, and the "
                "verify covered the data";
    }
    if (result.pastCardEnd != 0) {
        line += "; " + Megabytes(result.pastCardEnd) +
                (result.pastCardEndHeldData ? " past the last partition, not written"
                                            : " of empty space past the card's end not written");
    }
    if (result.driveBytes < result.cardBytes) {
        line += "; the card's last " + Megabytes(result.cardBytes - result.driveBytes) +
                " are past the image's end";
    }
    if (result.unreadableBytes != 0) {
        line += "; " + GroupedNumber(result.unreadableBytes) +
                " bytes of this image were unreadable on the original card and are zeros";
    }
    if (!result.queueNote.empty()) {
        line += "; " + result.queueNote;
    }
    return line;
}

}  // namespace imaging
