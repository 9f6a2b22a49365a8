#include "command_line.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <ctime>
#include <system_error>
#include <thread>
#include <utility>

#include "copy_job.h"
#include "copy_worker.h"
#include "drive_list.h"
#include "progress.h"

namespace cli {
namespace {

using Action = CommandLine::Action;

CommandLine Invalid(std::string why) {
    CommandLine line;
    line.action = Action::Invalid;
    line.error = std::move(why);
    return line;
}

bool ParseNumber(const std::string& text, int low, int high, int& value) {
    if (text.empty() || text.size() > 4 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    value = std::stoi(text);
    return value >= low && value <= high;
}

// The list as the window shows it: sorted by the entries' text, byte by byte.
class CollectedList : public drive::DeviceListControl {
public:
    void ResetContent() override { entries.clear(); }
    void AddString(const std::string& text, const drive::ListedDrive& drive) override {
        entries.emplace_back(text, drive);
        std::sort(entries.begin(), entries.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
    }
    std::vector<std::pair<std::string, drive::ListedDrive>> entries;
};

std::string OneLine(std::string details, int index) {
    if (details.empty()) {
        return drive::DrivePath(index);
    }
    for (std::size_t at = details.find('\n'); at != std::string::npos; at = details.find('\n')) {
        details.replace(at, 1, ", ");
    }
    return details;
}

int List(std::FILE* out) {
    CollectedList list;
    drive::RefreshDriveList(list);
    for (const auto& [text, drive] : list.entries) {
        std::fprintf(out, "%s\t%s\n", text.c_str(), OneLine(drive.details, drive.index).c_str());
    }
    return kExitComplete;
}

extern "C" void CancelOnSignal(int /*signal*/) {
    imaging::RequestCancel(imaging::TheCopyJob());
}

// Ctrl+C and a polite kill cancel the run as the window's Cancel does, for as long as it lasts.
class CancelOnInterrupt {
public:
    CancelOnInterrupt()
        : m_interrupt(std::signal(SIGINT, CancelOnSignal)),
          m_terminate(std::signal(SIGTERM, CancelOnSignal)) {}
    ~CancelOnInterrupt() {
        std::signal(SIGINT, m_interrupt);
        std::signal(SIGTERM, m_terminate);
    }
    CancelOnInterrupt(const CancelOnInterrupt&) = delete;
    CancelOnInterrupt& operator=(const CancelOnInterrupt&) = delete;

private:
    void (*m_interrupt)(int);
    void (*m_terminate)(int);
};

void ShowProgress(const imaging::CopyJob& job, std::int64_t startTime, std::FILE* err) {
    const imaging::ProgressReading reading = imaging::ReadProgress(
        std::time(nullptr) - startTime, job.doneBytes.load(), job.totalBytes.load());
    std::fprintf(err, "%s elapsed, %s remaining, %s total, %s, %d %%\n", reading.elapsed.c_str(),
                 reading.remaining.value_or("--:--").c_str(),
                 reading.total.value_or("--:--").c_str(), reading.speed.c_str(),
                 reading.percent.value_or(0));
}

void WaitWithProgress(const imaging::CopyJob& job, std::FILE* err) {
    std::int64_t shown = 0;
    while (job.runState.load(std::memory_order_acquire) != imaging::RunState::Idle) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::int64_t startTime = job.startTime.load(std::memory_order_acquire);
        const std::int64_t now = std::time(nullptr);
        if (startTime != 0 && now != shown && now != startTime) {
            shown = now;
            ShowProgress(job, startTime, err);
        }
    }
}

int Report(const imaging::CopyJob& job, const std::string& image, std::FILE* err) {
    if (job.outcome.load() != imaging::Outcome::Succeeded) {
        const int error = job.failureError.load();
        std::fprintf(err, "kalvor: failed: %s%s%s\n",
                     imaging::FailureReasonText(job.failureReason.load()), error != 0 ? ": " : "",
                     error != 0 ? std::system_category().message(error).c_str() : "");
        return kExitFailed;
    }
    const std::uint64_t unreadable = job.unreadableBytes.load();
    if (unreadable == 0) {
        std::fprintf(err, "kalvor: image complete: %s (SHA-256 in %s.sha256)\n", image.c_str(),
                     image.c_str());
        return kExitComplete;
    }
    std::fprintf(err, "kalvor: image complete but for %llu unreadable bytes, written as zeros at",
                 static_cast<unsigned long long>(unreadable));
    for (const imaging::ByteRange& range : job.unreadableRanges) {
        std::fprintf(err, " %llu+%llu", static_cast<unsigned long long>(range.offset),
                     static_cast<unsigned long long>(range.size));
    }
    std::fprintf(err, " (offset+bytes; map in %s.map)\n", image.c_str());
    return kExitUnreadableAreas;
}

int Image(const CommandLine& line, std::FILE* err) {
    CollectedList list;
    drive::RefreshDriveList(list);
    const auto listed =
        std::find_if(list.entries.begin(), list.entries.end(),
                     [&](const auto& entry) { return entry.second.index == line.index; });
    if (listed == list.entries.end()) {
        std::fprintf(err, "kalvor: no removable drive %d; kalvor --list shows them\n", line.index);
        return kExitFailed;
    }
    imaging::CopyJob& job = imaging::TheCopyJob();
    imaging::PrepareRun(job, drive::DrivePath(line.index), line.imagePath, listed->second.identity);
    job.rescue = {line.rescue, line.retries};
    const CancelOnInterrupt cancelOnInterrupt;
    if (!imaging::LaunchCopyWorker()) {
        job.runState.store(imaging::RunState::Idle);
        std::fprintf(err, "kalvor: failed: %s\n",
                     imaging::FailureReasonText(imaging::FailureReason::WorkerNotStarted));
        return kExitFailed;
    }
    WaitWithProgress(job, err);
    return Report(job, line.imagePath, err);
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine line;
    if (arguments.empty() || arguments[0].rfind("--", 0) != 0) {
        return line;
    }
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool hasNext = i + 1 < arguments.size();
        if (argument == "--help" || argument == "-h") {
            line.action = Action::Help;
        } else if (argument == "--version") {
            line.action = Action::Version;
        } else if (argument == "--list") {
            line.action = Action::List;
        } else if (argument == "--rescue") {
            line.rescue = true;
        } else if (argument == "--retries") {
            if (!hasNext || !ParseNumber(arguments[++i], 0, 100, line.retries)) {
                return Invalid("--retries takes a number from 0 to 100");
            }
        } else if (argument == "--image") {
            if (i + 2 >= arguments.size() ||
                !ParseNumber(arguments[i + 1], 0, drive::kDriveIndexCount - 1, line.index) ||
                arguments[i + 2].empty()) {
                return Invalid("--image takes a drive index from 0 to 19 and an image file");
            }
            line.imagePath = arguments[i + 2];
            line.action = Action::Image;
            i += 2;
        } else {
            return Invalid("unknown option " + argument);
        }
    }
    if (line.action == Action::Window) {
        return Invalid("--rescue and --retries go with --image");
    }
    if (line.rescue && line.action != Action::Image) {
        return Invalid("--rescue goes with --image");
    }
    return line;
}

void PrintUsage(std::FILE* out) {
    std::fputs(
        "Usage: kalvor                        open the window\n"
        "       kalvor --list                 list the removable drives\n"
        "       kalvor --image INDEX FILE     image drive INDEX into FILE\n"
        "              [--rescue [--retries N]]\n"
        "       kalvor --help | --version\n"
        "\n"
        "--image copies the drive byte for byte into FILE and writes its SHA-256 into\n"
        "FILE.sha256; an existing FILE is replaced only once the new image is complete.\n"
        "Progress is shown once a second; Ctrl+C cancels. --rescue goes on past read errors:\n"
        "each bad sector is tried N more times (default 2), then written as zeros and\n"
        "recorded in FILE.map, a GNU ddrescue mapfile.\n"
        "\n"
        "Exit status: 0 image complete, 3 complete but for unreadable areas (--rescue),\n"
        "1 failed, 2 wrong usage.\n",
        out);
}

int RunCommandLine(const CommandLine& line, std::FILE* out, std::FILE* err) {
    switch (line.action) {
        case Action::List:
            return List(out);
        case Action::Image:
            return Image(line, err);
        case Action::Help:
            PrintUsage(out);
            return kExitComplete;
        case Action::Version:
            std::fputs("kalvor 1.0.0.1\n", out);
            return kExitComplete;
        case Action::Invalid:
            std::fprintf(err, "kalvor: %s\n", line.error.c_str());
            PrintUsage(err);
            return kExitUsage;
        case Action::Window:
            break;
    }
    return kExitUsage;
}

}  // namespace cli
