#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "failure.h"
#include "image/block_map.h"
#include "image/image_format.h"
#include "restore/published_checksum.h"

namespace imaging {

// The part of a card that holds its partition table (MBR, GPT header and entries), which a
// restore writes last.
inline constexpr std::size_t kTableArea = 1 << 20;

// What a restore knows of its image before anything is written: from the file, its first
// bytes and its side files.
struct ImageFacts {
    ImageFormat format = ImageFormat::Raw;
    // Where the name says another form than the content ("named .zst, but holds gzip data"); the
    // member of a zip that is the image.
    std::string formNote;
    std::string member;
    std::uint64_t fileBytes = 0;
    // The drive's bytes the image holds, where known ahead (see ImageSource::Length; for gzip
    // from the checksum file's drive line).
    std::optional<std::uint64_t> length;
    // The checksum its publisher gave (Dresmont's own IMAGE.sha256 too: its line of the file).
    std::optional<PublishedChecksum> published;
    // IMAGE.bmap, as bmaptool finds it, beside an image that is not Dresmont's own: only the
    // blocks it maps are written.
    std::optional<BlockMap> blockMap;
    // From IMAGE.sha256: the drive's line.
    std::string driveSha256;
    std::uint64_t driveBytes = 0;
    // The card the image was taken from, as IMAGE.info names it: "vendor model serial".
    std::string sourceCard;
    // IMAGE.map of a rescue: bytes that were unreadable on the original card, zeros here.
    std::uint64_t unreadableBytes = 0;
    // The drive's first bytes, up to kTableArea.
    std::vector<std::byte> head;
};

// Reads what `path` and its side files tell. ImageRefused where the file cannot be read;
// ImageDamaged where its first bytes do not decompress; ImageEmpty where it holds no byte; a
// side file that is missing or says nothing usable is left out. `expectedSha256`, given by hand,
// is the published checksum of the file. A block map found (unless not `useBlockMap`) that is
// damaged, or describes an image of another length, is ImageRefused.
error::Failure ReadImageFacts(const std::string& path, ImageFacts& facts,
                              const std::string& expectedSha256 = {}, bool useBlockMap = true);

// "zstd image, 31,914,983,424 bytes; checked against the SHA-256 in card.img.zst.sha256, of the
// file as downloaded, before anything is written" (the drive's bytes, where known; else the
// file's).
std::string DescribeImage(const ImageFacts& facts);

// ImageRefused where the block map describes an image of another length than the image's, which
// is known.
error::Failure CheckBlockMapFits(const ImageFacts& facts);

// Whether the published checksum is checked by reading the file once before anything is
// written (a compressed file's own hash), rather than on the bytes as they are written (a raw
// file's, or the decoded content's).
bool ChecksBeforeWriting(const ImageFacts& facts);

}  // namespace imaging
