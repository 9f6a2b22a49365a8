#include "outcome/describe_outcome.h"

#include <algorithm>
#include <cstdio>

#include "image/image_file.h"
#include "outcome/numbers.h"
#include "outcome/restore_outcome.h"

namespace imaging {

using error::DescribeFailure;
using error::FailureReason;

namespace {

// A card with bad sectors all over would make the summary endless; the map lists them all.
constexpr std::size_t kNamedAreas = 8;

// Decimal units as drives are sold: "31.9 GB", "4.2 MB", "512 bytes".
std::string ShortSize(std::uint64_t bytes) {
    char text[32];
    if (bytes >= 1'000'000'000) {
        std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / 1e9);
    } else if (bytes >= 1'000'000) {
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    } else {
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    }
    return text;
}

}  // namespace

std::string DescribeFailedRun(const CopyResult& result, const char* written) {
    const std::string reason = FailureReasonText(result.failure.reason);
    std::string line = "failed: " + reason;
    if (result.failure.reason == FailureReason::ReadError && result.failure.at) {
        line += " at byte ";
        line += GroupedNumber(*result.failure.at);
    }
    if (result.failure.reason == FailureReason::WriteError && result.failure.at) {
        line += " at byte " + GroupedNumber(*result.failure.at) + " of " + written;
    }
    return line + DescribeFailure(result.failure).substr(reason.size());
}

std::string DescribeOutcome(const CopyRequest& request, const CopyResult& result) {
    if (request.task == Task::Restore) {
        return DescribeRestore(request, result);
    }
    const std::string& image = request.imagePath;
    std::string line;
    if (result.outcome != Outcome::Succeeded) {
        line = DescribeFailedRun(result);
        if (result.failure.reason == FailureReason::ReadError && result.failure.at) {
            line += result.replacing ? "; the old image is kept as it was"
                                     : "; the image holds everything before it";
        }
        return line;
    }
    if (request.task == Task::Verify) {
        line = "verified: the drive matches ";
        line += image;
        line += ", and ";
        line += image;
        line += " matches ";
        line += image;
        line += kChecksumSuffix;
        return line;
    }
    line = result.unreadableBytes == 0 ? "image complete" : "image complete but for ";
    if (result.unreadableBytes != 0) {
        line += std::to_string(result.unreadableBytes);
        line += " unreadable bytes, written as zeros at";
        const std::size_t named = std::min(result.unreadableRanges.size(), kNamedAreas);
        for (std::size_t area = 0; area < named; ++area) {
            line += ' ';
            line += std::to_string(result.unreadableRanges[area].offset);
            line += '+';
            line += std::to_string(result.unreadableRanges[area].size);
        }
        if (named < result.unreadableRanges.size()) {
            line += " and ";
            line += std::to_string(result.unreadableRanges.size() - named);
            line += " more areas";
        }
        line += " (offset+bytes; map in ";
        line += image;
        line += ".map)";
    }
    line += result.verified ? " and verified: " : ": ";
    line += image;
    line += " (";
    line += FormatName(result.format);
    line += ", ";
    line += ShortSize(result.imageBytes);
    if (result.format != ImageFormat::Raw && result.driveBytes != 0) {
        line += " of ";
        line += ShortSize(result.driveBytes);
        line += ", ";
        line += std::to_string(result.imageBytes * 100 / result.driveBytes);
        line += " %";
    }
    line += "; SHA-256 in ";
    line += image;
    line += ".sha256)";
    if (!result.partitionTable.empty()) {
        line += "; the partitions only (";
        line += result.partitionTable;
        line += "), restorable to a drive of at least ";
        line += std::to_string(result.restorableBytes);
        line += " bytes";
    } else if (!result.wholeDriveBecause.empty()) {
        line += "; the whole drive, as ";
        line += result.wholeDriveBecause;
    }
    if (!result.queueNote.empty()) {
        line += "; ";
        line += result.queueNote;
    }
    return line;
}

}  // namespace imaging
