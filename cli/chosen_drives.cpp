#include "chosen_drives.h"

#include <algorithm>
#include <atomic>
#include <csignal>

#include "drive_probe.h"
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
