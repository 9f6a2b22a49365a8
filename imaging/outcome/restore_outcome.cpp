#include "outcome/restore_outcome.h"

#include <algorithm>
#include <cstdio>

#include "outcome/describe_outcome.h"
#include "outcome/numbers.h"

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
std::string NamedSectors(const RestoreFindings& found) {
    constexpr std::size_t kNamed = 4;
    const std::vector<std::uint64_t>& sectors = found.probeNotPutBack;
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
    const RestoreFindings& found = result.restored;
    if (result.outcome != Outcome::Succeeded) {
        std::string line = DescribeFailedRun(result, "the card");
        if (!found.probeNotPutBack.empty()) {
            line += "; the capacity probe could not put back " + NamedSectors(found);
        } else if (!found.cardWritten) {
            line += "; nothing was written to the card";
        } else if (!found.tableWritten) {
            line += "; the card holds part of the image and no partition table";
        }
        return line;
    }
    std::string line = found.verified ? "Card restored and verified: " : "Card restored: ";
    line += request.drive.node + " holds " + request.imagePath + " (" + FormatName(found.format) +
            " image, " + GroupedNumber(found.driveBytes) + " bytes written in " +
            std::to_string(found.writeSeconds) + " s, " +
            Speed(found.driveBytes, found.writeSeconds) + ")";
    if (!found.sameAsCard.empty()) {
        line += "; the card now holds exactly what " + found.sameAsCard +
                " held when imaged: SHA-256 " + found.driveSha256;
    } else if (found.verified && !found.cardSha256.empty()) {
        line += "; the card reads back as written: SHA-256 " + found.cardSha256 + " of its first " +
                GroupedNumber(found.cardReadBytes) + " bytes";
    }
    if (!found.verified) {
        line += "; not verified";
    }
    if (!found.publishedNote.empty()) {
        line += "; " + found.publishedNote;
    }
    if (!found.tableFitted.empty()) {
        line += "; its " + found.tableFitted + " fitted to the card's " +
                GroupedNumber(found.cardBytes) + " bytes";
    }
    if (!found.blockMapNote.empty()) {
        line += "; " + found.blockMapNote;
    } else if (found.leftAsItWas != 0) {
        line += "; " + Megabytes(found.leftAsItWas) +
                " of empty blocks not written: the card keeps its old content there, and the "
                "verify covered the data";
    }
    if (found.pastCardEnd != 0) {
        line += "; " + Megabytes(found.pastCardEnd) +
                (found.pastCardEndHeldData ? " past the last partition, not written"
                                           : " of empty space past the card's end not written");
    }
    if (found.driveBytes < found.cardBytes) {
        line += "; the card's last " + Megabytes(found.cardBytes - found.driveBytes) +
                " are past the image's end";
    }
    if (found.unreadableBytes != 0) {
        line += "; " + GroupedNumber(found.unreadableBytes) +
                " bytes of this image were unreadable on the original card and are zeros";
    }
    if (!found.queueNote.empty()) {
        line += "; " + found.queueNote;
    }
    return line;
}

}  // namespace imaging
