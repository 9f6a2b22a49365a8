#include "batch_run.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "chosen_drives.h"
#include "drive_probe.h"
#include "image/image_place.h"
#include "json_line.h"
#include "outcome/describe_outcome.h"
#include "restore/image_facts.h"
#include "restore/shared_decode.h"
#include "run/run_controller.h"
#include "terminal.h"

namespace cli {
namespace {

using Action = CommandLine::Action;

// Rewritten lines are kept within the narrowest terminal's width; the full names come with the
// results at the end.
constexpr std::size_t kLineWidth = 79;

// One drive of the batch: the list's index the user gave it, the drive as confirmed, its image,
// and its run.
struct Slot {
    int index = 0;
    drive::Drive drive;
    std::string imagePath;
    std::unique_ptr<imaging::RunController> run;
    // Seconds from the batch's start to this drive's end, as first seen.
    double seconds = 0;
};

// "Checking" (the image, before writing), "Writing", "Verifying", "Done", "Failed".
std::string StateOf(const Slot& slot, bool restore) {
    if (slot.run->HasEnded()) {
        return slot.run->Result().outcome == imaging::Outcome::Succeeded ? "Done" : "Failed";
    }
    if (slot.run->Verifying()) {
        return "Verifying";
    }
    if (slot.run->CheckingImage()) {
        return "Checking";
    }
    return restore ? "Writing" : "Reading";
}

// "slot 2 /dev/sdc usb 1-3.2 SanDisk SD32G 0x1234".
std::string Naming(const Slot& slot) {
    std::string text = "slot " + std::to_string(slot.index) + " " + slot.drive.node;
    for (const std::string& part :
         {slot.drive.port, drive::Trimmed(slot.drive.vendor + " " + slot.drive.model),
          slot.drive.serial}) {
        if (!part.empty()) {
            text += " " + part;
        }
    }
    return text;
}

// Bytes done and a share of the total, and MB/s since the pass began.
struct Pace {
    int percent = 0;
    double megabytesPerSecond = 0;
};

Pace PaceOf(Slot& slot) {
    const std::uint64_t done = slot.run->Job().progress.doneBytes.load(std::memory_order_relaxed);
    const std::int64_t started = slot.run->StartTime();
    const std::int64_t elapsed = started == 0 ? 0 : std::time(nullptr) - started;
    Pace pace;
    pace.percent = slot.run->Reading(elapsed).percent.value_or(0);
    pace.megabytesPerSecond = elapsed <= 0 ? 0 : static_cast<double>(done) / 1e6 / elapsed;
    return pace;
}

std::string ProgressLine(Slot& slot, bool restore) {
    const Pace pace = PaceOf(slot);
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "%3d %%  %.1f MB/s", pace.percent,
                  pace.megabytesPerSecond);
    return Naming(slot) + "  " + StateOf(slot, restore) + "  " + numbers;
}

std::string ProgressJson(Slot& slot, bool restore) {
    const Pace pace = PaceOf(slot);
    return JsonLine({{"event", JsonText("progress")},
                     {"slot", std::to_string(slot.index)},
                     {"node", JsonText(slot.drive.node)},
                     {"state", JsonText(StateOf(slot, restore))},
                     {"percent", std::to_string(pace.percent)},
                     {"mb_per_s", JsonNumber(pace.megabytesPerSecond)}});
}

// The drive's result: a restore's hash of the image's bytes as written and of the card's bytes
// read back; an image's hash of the drive's bytes and of the image file.
std::string ResultJson(const Slot& slot, bool restore) {
    const imaging::CopyResult& result = slot.run->Result();
    std::vector<std::pair<std::string, std::string>> members = {
        {"event", JsonText("result")},
        {"slot", std::to_string(slot.index)},
        {"node", JsonText(slot.drive.node)},
        {"model", JsonText(drive::Trimmed(slot.drive.vendor + " " + slot.drive.model))},
        {"serial", JsonText(slot.drive.serial)},
        {"image", JsonText(slot.imagePath)},
        {"succeeded", result.outcome == imaging::Outcome::Succeeded ? "true" : "false"},
        {"seconds", JsonNumber(slot.seconds)}};
    if (restore) {
        members.insert(members.end(),
                       {{"written_sha256", JsonText(result.restored.driveSha256)},
                        {"card_sha256", JsonText(result.restored.cardSha256)},
                        {"card_bytes_read", std::to_string(result.restored.cardReadBytes)}});
    } else {
        members.insert(members.end(), {{"drive_sha256", JsonText(result.driveSha256)},
                                       {"file_sha256", JsonText(result.fileSha256)}});
    }
    members.emplace_back("outcome",
                         JsonText(imaging::DescribeOutcome(slot.run->Request(), result)));
    return JsonLine(members);
}

// Once a second: a line per drive, rewritten in place on a terminal.
class BatchProgress {
public:
    BatchProgress(std::FILE* err, bool json, bool restore)
        : m_err(err), m_json(json), m_restore(restore), m_inPlace(!json && MovesCursor(err)) {}

    void Show(std::vector<Slot>& slots) {
        const std::int64_t now = std::time(nullptr);
        if (now == m_shown) {
            return;
        }
        m_shown = now;
        if (m_inPlace && m_drawn) {
            std::fprintf(m_err, "\x1b[%zuA", slots.size());
        }
        for (Slot& slot : slots) {
            std::string line =
                m_json ? ProgressJson(slot, m_restore) : ProgressLine(slot, m_restore);
            // A line that wrapped would take two rows, and the next redraw would miss one.
            if (m_inPlace && line.size() > kLineWidth) {
                line.resize(kLineWidth);
            }
            std::fprintf(m_err, "%s%s\n", m_inPlace ? "\r\x1b[K" : "", line.c_str());
        }
        std::fflush(m_err);
        m_drawn = true;
    }

private:
    std::FILE* m_err;
    bool m_json;
    bool m_restore;
    bool m_inPlace;
    bool m_drawn = false;
    std::int64_t m_shown = 0;
};

// The image on one of the drives of the batch is refused before anything runs: a restore would
// write over its own source, and an image written onto a drive being read changes that drive.
bool ImagesOffTheDrives(const std::vector<Slot>& slots, std::FILE* err) {
    std::vector<std::string> images;
    std::vector<drive::Drive> drives;
    for (const Slot& slot : slots) {
        images.push_back(slot.imagePath);
        drives.push_back(slot.drive);
    }
    const auto found = imaging::FindImageOnDrives(images, drives);
    if (!found) {
        return true;
    }
    const Slot& holder = slots[found->drive];
    std::fprintf(err, "kalvor: %s %s drive %d (%s); nothing was written\n",
                 images[found->image].c_str(),
                 found->place == imaging::ImagePlace::OnDrive
                     ? "lies on"
                     : "may lie on: no access to tell, and no volumes known of,",
                 holder.index, holder.drive.node.c_str());
    return false;
}

// Each drive's image is a file of its own: no drive's image may be another's, or one of its side
// files, which the other would overwrite.
bool ImagesApart(const std::vector<Slot>& slots, std::FILE* err) {
    for (std::size_t first = 0; first < slots.size(); ++first) {
        for (std::size_t second = first + 1; second < slots.size(); ++second) {
            if (imaging::ImagesShareAFile(slots[first].imagePath, slots[second].imagePath)) {
                std::fprintf(err,
                             "kalvor: the images of drives %d and %d (%s, %s) would write the same "
                             "file; nothing was written\n",
                             slots[first].index, slots[second].index,
                             slots[first].imagePath.c_str(), slots[second].imagePath.c_str());
                return false;
            }
        }
    }
    return true;
}

// Every card of a restore, each shown and confirmed by its own name in turn: --yes names them
// all, in order.
bool ConfirmEveryCard(const CommandLine& line, const std::vector<Slot>& slots,
                      const imaging::ImageFacts& facts, std::FILE* in, std::FILE* out,
                      std::FILE* err) {
    const std::vector<std::string> named =
        line.yes.empty() ? std::vector<std::string>() : CommaList(line.yes);
    if (!line.yes.empty() && named.size() != slots.size()) {
        std::fprintf(
            err,
            "kalvor: --yes needs a node for each of the %zu cards, in order, and gives %zu; "
            "nothing was written to any card\n",
            slots.size(), named.size());
        return false;
    }
    for (std::size_t at = 0; at < slots.size(); ++at) {
        const Slot& slot = slots[at];
        ShowWrite(slot.drive, line.imagePath, facts, out);
        if (!ConfirmedByName(named.empty() ? std::string() : named[at], slot.index, slot.drive, in,
                             out, err)) {
            std::fprintf(err, "kalvor: not confirmed; nothing was written to any card\n");
            return false;
        }
    }
    return true;
}

}  // namespace

int RunBatch(const CommandLine& line, std::FILE* in, std::FILE* out, std::FILE* err) {
    const bool restore = line.action == Action::Restore;
    CollectedList list;
    drive::RefreshDriveList(list);
    std::vector<Slot> slots(line.indexes.size());
    for (std::size_t at = 0; at < slots.size(); ++at) {
        slots[at].index = line.indexes[at];
        slots[at].imagePath = restore ? line.imagePath : line.imagePaths[at];
        if (!FindListed(list, slots[at].index, slots[at].drive, err)) {
            return kExitFailed;
        }
    }
    if (!ImagesOffTheDrives(slots, err) || (!restore && !ImagesApart(slots, err))) {
        return kExitFailed;
    }
    imaging::ImageFacts facts;
    if (restore && (!ReadImageToConfirm(line, facts, "any card", err) ||
                    !ConfirmEveryCard(line, slots, facts, in, line.json ? err : out, err))) {
        return kExitFailed;
    }
    const CancelOnInterrupt cancelOnInterrupt;
    const auto decode = restore ? std::make_shared<imaging::SharedDecode>(line.imagePath) : nullptr;
    for (Slot& slot : slots) {
        slot.run = std::make_unique<imaging::RunController>();
        imaging::CopyRequest request =
            RequestOf(line, slot.drive, slot.imagePath, facts.fileBytes, slots.size() > 1);
        request.restore.sharedDecode = decode;
        slot.run->Prepare(std::move(request));
        slot.run->Launch();
    }
    // With --json, standard output holds the JSON lines alone.
    std::FILE* const shown = line.json ? out : err;
    BatchProgress progress(shown, line.json, restore);
    const auto started = std::chrono::steady_clock::now();
    for (bool running = true; running;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        running = false;
        for (Slot& slot : slots) {
            if (CancelOnInterrupt::Interrupted()) {
                slot.run->Cancel();
            }
            if (slot.run->HasEnded() && slot.seconds == 0) {
                slot.seconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started)
                        .count();
            }
            running = running || !slot.run->HasEnded();
        }
        progress.Show(slots);
    }
    int failed = 0;
    bool unreadable = false;
    for (const Slot& slot : slots) {
        const imaging::CopyResult& result = slot.run->Result();
        const bool succeeded = result.outcome == imaging::Outcome::Succeeded;
        failed += succeeded ? 0 : 1;
        unreadable = unreadable || (!restore && result.unreadableBytes != 0);
        if (line.json) {
            std::fprintf(shown, "%s\n", ResultJson(slot, restore).c_str());
        } else {
            std::fprintf(err, "kalvor: %s: %s\n", Naming(slot).c_str(),
                         imaging::DescribeOutcome(slot.run->Request(), result).c_str());
        }
    }
    // The failed drives are named on standard error with --json too, for whoever watches it.
    if (failed != 0) {
        std::fprintf(err, "kalvor: %d of %zu %s failed:", failed, slots.size(),
                     restore ? "cards" : "drives");
        for (const Slot& slot : slots) {
            if (slot.run->Result().outcome != imaging::Outcome::Succeeded) {
                std::fprintf(err, " slot %d (%s)", slot.index,
                             slot.drive.serial.empty() ? slot.drive.node.c_str()
                                                       : slot.drive.serial.c_str());
            }
        }
        std::fputc('\n', err);
    }
    return failed != 0 ? kExitFailed : unreadable ? kExitUnreadableAreas : kExitComplete;
}

}  // namespace cli
