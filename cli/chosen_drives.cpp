#include "chosen_drives.h"

#include <algorithm>
#include <atomic>
#include <csignal>

#include "drive_probe.h"
#include "outcome/numbers.h"
#include "terminal.h"

namespace cli {

namespace {

// Lock-free, so the handler may store it, and atomic, as the signal may arrive on any thread.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void NoteInterrupt(int /*signal*/) {
    interrupted.store(true);
}

}  // namespace

void CollectedList::AddString(const std::string& text, const drive::ListedDrive& drive) {
    entries.emplace_back(text, drive);
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
}

bool FindListed(const CollectedList& list, int index, drive::Drive& found, std::FILE* err) {
    const auto listed =
        std::find_if(list.entries.begin(), list.entries.end(),
                     [&](const auto& entry) { return entry.second.index == index; });
    if (listed == list.entries.end()) {
        std::fprintf(err, "kalvor: no removable drive %d; kalvor --list shows them\n", index);
        return false;
    }
    found = listed->second.drive;
    found.node = drive::DrivePath(index);
    return true;
}

bool ConfirmedByName(const std::string& yes, int index, const drive::Drive& card, std::FILE* in,
                     std::FILE* out, std::FILE* err) {
    if (!yes.empty()) {
        if (yes == card.node) {
            return true;
        }
        std::fprintf(err, "kalvor: --yes=%s does not name drive %d, which is %s\n", yes.c_str(),
                     index, card.node.c_str());
        return false;
    }
    if (!IsTerminal(in)) {
        std::fprintf(err,
                     "kalvor: no terminal to confirm on: --yes=%s names the card to write to\n",
                     card.node.c_str());
        return false;
    }
    std::fprintf(out, "Type %s to write to it, anything else to cancel: ", card.node.c_str());
    std::fflush(out);
    char typed[256] = {};
    if (std::fgets(typed, sizeof typed, in) == nullptr) {
        return false;
    }
    std::string answer(typed);
    while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) {
        answer.pop_back();
    }
    return answer == card.node;
}

std::vector<std::string> CommaList(const std::string& text) {
    std::vector<std::string> words;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        words.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return words;
}

bool ReadImageToConfirm(const CommandLine& line, imaging::ImageFacts& facts, const char* written,
                        std::FILE* err) {
    if (const error::Failure failure =
            imaging::ReadImageFacts(line.imagePath, facts, line.expectSha256, !line.noBmap)) {
        std::fprintf(err, "kalvor: %s: %s; nothing was written to %s\n", line.imagePath.c_str(),
                     error::DescribeFailure(failure).c_str(), written);
        return false;
    }
    return true;
}

void ShowWrite(const drive::Drive& card, const std::string& imagePath,
               const imaging::ImageFacts& facts, std::FILE* out) {
    std::fprintf(out, "%s\nALL DATA on it will be replaced by %s (%s).\n",
                 drive::FormatDriveDetails(card).c_str(), imagePath.c_str(),
                 imaging::DescribeImage(facts).c_str());
    if (facts.unreadableBytes != 0) {
        std::fprintf(out,
                     "%s bytes of this image were unreadable on the original card and are zeros.\n",
                     imaging::GroupedNumber(facts.unreadableBytes).c_str());
    }
}

imaging::CopyRequest RequestOf(const CommandLine& line, const drive::Drive& drive,
                               const std::string& imagePath, std::uint64_t imageBytes,
                               bool several) {
    const std::size_t ringBuffers =
        several ? imaging::kSeveralRunsBufferCount : imaging::kRunBufferCount;
    using Action = CommandLine::Action;
    if (line.action == Action::Restore) {
        return {.task = imaging::Task::Restore,
                .drive = drive,
                .imagePath = imagePath,
                .retries = 0,
                .verifyAfter = !line.noVerify,
                .partitionsOnly = false,
                .extraHashes = {},
                .command = line.command,
                .restore = {line.skipEmpty, imageBytes, line.expectSha256, line.noBmap, several,
                            nullptr},
                .ringBuffers = ringBuffers};
    }
    const imaging::Task task = line.action == Action::Verify ? imaging::Task::Verify
                               : line.rescue                 ? imaging::Task::Rescue
                                                             : imaging::Task::Image;
    return {.task = task,
            .drive = drive,
            .imagePath = imagePath,
            .retries = line.retries,
            .verifyAfter = line.verify,
            .partitionsOnly = line.partitionsOnly,
            .extraHashes = line.extraHashes,
            .command = line.command,
            .restore = {},
            .ringBuffers = ringBuffers};
}

CancelOnInterrupt::CancelOnInterrupt()
    : m_interrupt(std::signal(SIGINT, NoteInterrupt)),
      m_terminate(std::signal(SIGTERM, NoteInterrupt)) {
    interrupted.store(false);
}

CancelOnInterrupt::~CancelOnInterrupt() {
    std::signal(SIGINT, m_interrupt);
    std::signal(SIGTERM, m_terminate);
}

bool CancelOnInterrupt::Interrupted() {
    return interrupted.load();
}

}  // namespace cli
