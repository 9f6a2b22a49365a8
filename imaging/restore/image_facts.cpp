#include "restore/image_facts.h"

#include <memory>
#include <sstream>

#include "image/image_file.h"
#include "outcome/numbers.h"
#include "rescue/rescue_map.h"
#include "restore/image_form.h"
#include "restore/image_source.h"

namespace imaging {

using error::Failure;

namespace {

// A record holds a few dozen short lines.
constexpr std::uint64_t kLongestRecord = 64 << 10;

std::string RecordValue(const std::string& record, const std::string& key) {
    std::istringstream lines(record);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(key + ": ", 0) == 0) {
            return line.substr(key.size() + 2);
        }
    }
    return {};
}

void ReadChecksums(const std::string& path, ImageFacts& facts) {
    std::string checksums;
    if (ReadSideFile(path + kChecksumSuffix, kLongestChecksumFile, checksums)) {
        return;
    }
    if (!ReadDriveLine(checksums, facts.driveSha256, facts.driveBytes)) {
        facts.driveSha256.clear();
        facts.driveBytes = 0;
    }
}

void ReadRecord(const std::string& path, ImageFacts& facts) {
    std::string record;
    if (ReadSideFile(path + kInfoSuffix, kLongestRecord, record)) {
        return;
    }
    for (const char* key : {"source-vendor", "source-model", "source-serial"}) {
        const std::string value = RecordValue(record, key);
        if (!value.empty()) {
            facts.sourceCard += (facts.sourceCard.empty() ? "" : " ") + value;
        }
    }
}

void ReadMap(const std::string& path, ImageFacts& facts) {
    if (!facts.length) {
        return;
    }
    std::string text;
    RescueMap map(*facts.length);
    if (ReadSideFile(path + kMapSuffix, RescueMap::LongestText(*facts.length), text) ||
        RescueMap::Parse(text, *facts.length, map)) {
        return;
    }
    facts.unreadableBytes = *facts.length - map.BytesWith(AreaStatus::Finished);
}

}  // namespace

Failure ReadImageFacts(const std::string& path, ImageFacts& facts,
                       const std::string& expectedSha256, bool useBlockMap) {
    facts = {};
    if (Failure failure = FormOfImage(path, facts.format, facts.formNote)) {
        return failure;
    }
    std::unique_ptr<ImageSource> source;
    if (Failure failure = OpenImageSource(path, facts.format, source)) {
        return failure;
    }
    facts.member = source->Inside();
    facts.fileBytes = source->FileLength();
    facts.length = source->Length();
    facts.head.resize(kTableArea);
    std::size_t got = 0;
    if (Failure failure = ReadFull(*source, facts.head.data(), facts.head.size(), got)) {
        return failure;
    }
    if (got == 0) {
        return {error::FailureReason::ImageEmpty, 0, {}};
    }
    facts.head.resize(got);
    ReadChecksums(path, facts);
    facts.published = FindPublishedChecksum(path, expectedSha256);
    if (!facts.length && facts.driveBytes != 0) {
        facts.length = facts.driveBytes;
    }
    ReadRecord(path, facts);
    ReadMap(path, facts);
    // Dresmont's own image (its checksum file has the drive's line) restores the card it was
    // taken from exactly: its block map is for bmaptool, whose copy leaves unmapped blocks as
    // they were.
    const bool own = !facts.driveSha256.empty();
    if (const auto found = useBlockMap && !own ? FindBlockMap(path) : std::nullopt) {
        if (Failure failure = ReadBlockMap(*found, facts.blockMap.emplace())) {
            return failure;
        }
        if (facts.length) {
            return CheckBlockMapFits(facts);
        }
    }
    return {};
}

std::string DescribeImage(const ImageFacts& facts) {
    std::string text = std::string(FormatName(facts.format)) + " image";
    if (!facts.member.empty()) {
        text += " " + facts.member + " in it";
    }
    if (!facts.formNote.empty()) {
        text += " (" + facts.formNote + ")";
    }
    text += ", " + (facts.length ? GroupedNumber(*facts.length) + " bytes"
                                 : GroupedNumber(facts.fileBytes) +
                                       " bytes compressed; its file does not record its length, "
                                       "so it is decoded once to find it before anything is "
                                       "written");
    if (facts.blockMap) {
        text += "; " + facts.blockMap->fileName + " maps " +
                Megabytes(facts.blockMap->MappedBytes()) + " of it: only that is written";
    }
    if (!facts.published) {
        return text + "; no published checksum found";
    }
    // A content checksum is checked by the counting pass where one runs.
    const bool before = ChecksBeforeWriting(facts) || (!facts.length && facts.published->ofContent);
    return text + "; checked against " + DescribeChecksum(*facts.published) +
           (before ? ", before anything is written" : ", as it is written");
}

Failure CheckBlockMapFits(const ImageFacts& facts) {
    if (!facts.blockMap || *facts.length == facts.blockMap->imageSize) {
        return {};
    }
    return {error::FailureReason::ImageRefused, 0,
            facts.blockMap->fileName + " describes an image of " +
                GroupedNumber(facts.blockMap->imageSize) + " bytes, not this one of " +
                GroupedNumber(*facts.length)};
}

bool ChecksBeforeWriting(const ImageFacts& facts) {
    return facts.published && !facts.published->ofContent &&
           (facts.format != ImageFormat::Raw || facts.published->kind != HashKind::Sha256);
}

}  // namespace imaging
