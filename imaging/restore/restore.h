#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "drive.h"
#include "failure.h"
#include "image/image_format.h"
#include "stage/buffer_ring.h"
#include "stage/stage_link.h"

namespace imaging {

class SharedDecode;

// How a restore writes its image.
struct RestoreSettings {
    // Only the image's data is written: its empty blocks leave the card's old content as it is.
    bool skipEmpty = false;
    // The image file's length when the user confirmed it (0: not known): a file that has
    // changed since is not written.
    std::uint64_t confirmedImageBytes = 0;
    // The image file's SHA-256 as its publisher gave it, by hand (--expect-sha256); empty: the
    // checksum files beside the image are looked for.
    std::string expectedSha256;
    // The image's block map (IMAGE.bmap) is not used: the whole image is written.
    bool noBlockMap = false;
    // Several restores read the image at once: through the page cache, which then reads it from
    // the disk once for all of them; a compressed one through the decode they share.
    bool sharedImage = false;
    std::shared_ptr<SharedDecode> sharedDecode;
};

// What a restore is asked for: the image, and the card the user confirmed by its description,
// which the card at its node must still be.
struct RestoreTask {
    std::string imagePath;
    drive::Drive card;
    RestoreSettings settings;
    bool verifyAfter = false;
    std::size_t ringBuffers = kRunBufferCount;  // of each pass's ring
};

// What a restore found, on every path.
struct RestoreFindings {
    ImageFormat format = ImageFormat::Raw;
    // Bytes of the image that were unreadable on the card it was taken from (zeros here).
    std::uint64_t unreadableBytes = 0;
    // The card's length; the image's bytes written onto it, their SHA-256 as the image holds them
    // (empty where not all of the image was read), and the seconds the write took, its final
    // flush included.
    std::uint64_t cardBytes = 0;
    std::uint64_t driveBytes = 0;
    std::string driveSha256;
    std::int64_t writeSeconds = 0;
    // The image's bytes past the card's end, not written, and whether any of them held data.
    std::uint64_t pastCardEnd = 0;
    bool pastCardEndHeldData = false;
    // Empty blocks not written (skipEmpty).
    std::uint64_t leftAsItWas = 0;
    // The table fitted to the card ("GPT"), if one was.
    std::string tableFitted;
    // The card read back by the verify: its first cardReadBytes bytes (the image's, up to whole
    // sectors) and their SHA-256; where only the written ranges were read back, their bytes and
    // no hash.
    bool verified = false;
    std::uint64_t cardReadBytes = 0;
    std::string cardSha256;
    // The card the image was taken from ("card SanDisk SD32G 0x1234", or "the imaged card"),
    // where the card now holds exactly what that card held.
    std::string sameAsCard;
    // What the published checksum said: "matches the published SHA-256 in X", or that none was
    // found; where a block map chose what was written: "only the 64.0 MB that os.img.bmap maps".
    std::string publishedNote;
    std::string blockMapNote;
    // Sectors the capacity probe marked and could not put back (the card went), by offset.
    std::vector<std::uint64_t> probeNotPutBack;
    bool cardWritten = false;   // anything at all: a failure leaves it without a table
    bool tableWritten = false;  // the table went on last: the card holds the whole image
    // How the writes were queued, where not as they should have been.
    std::string queueNote;
};

// Writes the task's image onto its card, which the user confirmed by its description.
// Everything that can refuse the run does so before the card is opened for writing, so a refusal
// writes nothing. Once writing, the card's partition table is cleared first and written last,
// after everything else is on the card: a restore that fails or is cancelled leaves a card that
// no system mounts. Then, where asked, the card is read back and compared with the image.
// `found` tells what it found on every path.
error::Failure RestoreImage(const StageLink& run, const RestoreTask& task, RestoreFindings& found);

}  // namespace imaging
