#include "command_line.h"

#include "version.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <ctime>
#include <optional>
#include <thread>
#include <utility>

#include "batch_run.h"
#include "chosen_drives.h"
#include "drive_list.h"
#include "image/image_format.h"
#include "outcome/describe_outcome.h"
#include "outcome/numbers.h"
#include "restore/image_facts.h"
#include "run/run_controller.h"
#include "terminal.h"

namespace cli {
namespace {

using Action = CommandLine::Action;

enum Option : int {
    kRescue = 256,
    kRetries,
    kVerify,
    kPartitionsOnly,
    kHash,
    kRestore,
    kYes,
    kNoVerify,
    kSkipEmpty,
    kExpectSha256,
    kNoBmap,
    kJson
};

constexpr option kOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"list", no_argument, nullptr, 'l'},
    {"image", required_argument, nullptr, 'i'},
    {"rescue", no_argument, nullptr, kRescue},
    {"retries", required_argument, nullptr, kRetries},
    {"verify", no_argument, nullptr, kVerify},
    {"partitions-only", no_argument, nullptr, kPartitionsOnly},
    {"hash", required_argument, nullptr, kHash},
    {"restore", required_argument, nullptr, kRestore},
    {"yes", required_argument, nullptr, kYes},
    {"no-verify", no_argument, nullptr, kNoVerify},
    {"skip-empty", no_argument, nullptr, kSkipEmpty},
    {"expect-sha256", required_argument, nullptr, kExpectSha256},
    {"no-bmap", no_argument, nullptr, kNoBmap},
    {"json", no_argument, nullptr, kJson},
    {nullptr, 0, nullptr, 0},
};

// "--yes" for kYes, "--image" for 'i'.
std::string OptionName(int value) {
    const auto named = std::find_if(std::begin(kOptions), std::end(kOptions),
                                    [value](const option& entry) { return entry.val == value; });
    return std::string("--") + (named->name != nullptr ? named->name : "?");
}

CommandLine Invalid(std::string why) {
    CommandLine line;
    line.action = Action::Invalid;
    line.error = std::move(why);
    return line;
}

bool ParseNumber(const std::string& text, int low, int high, int& value) {
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return !text.empty() && error == std::errc{} && stop == end && value >= low && value <= high;
}

// "md5,sha1": the extra hashes, each once, in the order given; false for any other word.
bool ParseHashes(const std::string& text, std::vector<imaging::HashKind>& kinds) {
    kinds.clear();
    for (const std::string& word : CommaList(text)) {
        const auto kind = word == "md5"    ? std::optional(imaging::HashKind::Md5)
                          : word == "sha1" ? std::optional(imaging::HashKind::Sha1)
                                           : std::nullopt;
        if (!kind || std::find(kinds.begin(), kinds.end(), *kind) != kinds.end()) {
            return false;
        }
        kinds.push_back(*kind);
    }
    return true;
}

// The line as a shell would take it back: words with anything but plain characters quoted.
std::string CommandText(const std::vector<std::string>& arguments) {
    std::string text = "kalvor";
    for (const std::string& word : arguments) {
        const bool plain =
            !word.empty() && word.find_first_not_of(
                                 "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                 "0123456789-_=.,/:+@%") == std::string::npos;
        text += ' ';
        if (plain) {
            text += word;
            continue;
        }
        text += '\'';
        for (const char c : word) {
            text += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        text += '\'';
    }
    return text;
}

bool IsToolkitOption(const std::string& argument) {
    return argument.size() > 2 && argument[0] == '-' && argument[1] != '-';
}

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
        std::fprintf(out, "%s\t%s\n", text.c_str(),
                     OneLine(drive::FormatDriveDetails(drive.drive), drive.index).c_str());
    }
    return kExitComplete;
}

// Once a second while the run goes on; on a terminal each line overwrites the one before.
class ProgressPrinter {
public:
    explicit ProgressPrinter(std::FILE* err) : m_err(err), m_inPlace(IsTerminal(err)) {}

    void Show(const imaging::RunController& run) {
        const std::int64_t startTime = run.StartTime();
        const std::int64_t now = std::time(nullptr);
        if (startTime == 0 || now == m_shown || now == startTime) {
            return;
        }
        m_shown = now;
        const imaging::ProgressReading reading = run.Reading(now - startTime);
        std::fprintf(m_err, "%s%s%s elapsed, %s remaining, %s total, %s, %d %%%s",
                     m_inPlace ? "\r" : "", run.Verifying() ? "verify: " : "",
                     reading.elapsed.c_str(), reading.remaining.value_or("--:--").c_str(),
                     reading.total.value_or("--:--").c_str(), reading.speed.c_str(),
                     reading.percent.value_or(0), m_inPlace ? "   " : "\n");
        std::fflush(m_err);
        m_lineOpen = m_inPlace;
    }

    // Ends a line left open in place, so what follows starts on its own.
    void Close() {
        if (m_lineOpen) {
            std::fputc('\n', m_err);
        }
    }

private:
    std::FILE* m_err;
    bool m_inPlace;
    bool m_lineOpen = false;
    std::int64_t m_shown = 0;
};

// Runs what `request` asks, with its progress on `err` and Ctrl+C to cancel, and tells how it
// ended.
int RunAndReport(imaging::CopyRequest request, std::FILE* err) {
    imaging::RunController run;
    const CancelOnInterrupt cancelOnInterrupt;
    run.Prepare(std::move(request));
    if (run.Launch()) {
        ProgressPrinter progress(err);
        while (!run.HasEnded()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (CancelOnInterrupt::Interrupted()) {
                run.Cancel();
            }
            progress.Show(run);
        }
        progress.Close();
    }
    const imaging::CopyResult& result = run.Result();
    std::fprintf(err, "kalvor: %s\n", imaging::DescribeOutcome(run.Request(), result).c_str());
    if (result.outcome != imaging::Outcome::Succeeded) {
        return kExitFailed;
    }
    return result.unreadableBytes == 0 || run.Request().task == imaging::Task::Restore
               ? kExitComplete
               : kExitUnreadableAreas;
}

int Image(const CommandLine& line, std::FILE* err) {
    CollectedList list;
    drive::RefreshDriveList(list);
    drive::Drive chosen;
    if (!FindListed(list, line.index, chosen, err)) {
        return kExitFailed;
    }
    return RunAndReport(RequestOf(line, chosen, line.imagePath, 0), err);
}

// Nothing is opened for writing before the user has seen the card's description and what will
// happen to it, and has named the card.
int Restore(const CommandLine& line, std::FILE* in, std::FILE* out, std::FILE* err) {
    CollectedList list;
    drive::RefreshDriveList(list);
    drive::Drive card;
    if (!FindListed(list, line.index, card, err)) {
        return kExitFailed;
    }
    imaging::ImageFacts facts;
    if (!ReadImageToConfirm(line, facts, "the card", err)) {
        return kExitFailed;
    }
    ShowWrite(card, line.imagePath, facts, out);
    if (!ConfirmedByName(line.yes, line.index, card, in, out, err)) {
        std::fprintf(err, "kalvor: not confirmed; nothing was written to the card\n");
        return kExitFailed;
    }
    return RunAndReport(RequestOf(line, card, line.imagePath, facts.fileBytes), err);
}

// The action an option asks for, where it asks for one.
Action ActionOf(int option) {
    switch (option) {
        case 'h':
            return Action::Help;
        case 'V':
            return Action::Version;
        case 'l':
            return Action::List;
        case 'i':
            return Action::Image;
        case kRestore:
            return Action::Restore;
        default:
            return Action::Window;
    }
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
    if (arguments.empty() || IsToolkitOption(arguments[0])) {
        return {};
    }
    std::vector<std::string> words = {"kalvor"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());

    CommandLine line;
    // An option says one thing once: a second --yes would leave the user guessing which counts.
    std::vector<int> given;
    bool retriesGiven = false;
    // The indexes as given: one per --image, or --restore's comma-separated list.
    std::vector<std::string> indexes;
    // 0 starts getopt afresh, whatever an earlier parse left behind.
    optind = 0;
    opterr = 0;
    for (int option = 0;
         (option = getopt_long(argc, argv.data(), "hVli:", kOptions, nullptr)) != -1;) {
        if (option == '?' || option == ':') {
            return Invalid("unknown option, or one without its value: " +
                           std::string(argv[std::min(optind, argc) - 1]));
        }
        // --image once per drive is how several drives are imaged at once.
        if (option != 'i' && std::find(given.begin(), given.end(), option) != given.end()) {
            return Invalid(OptionName(option) + " given twice");
        }
        given.push_back(option);
        const Action action = ActionOf(option);
        if (action != Action::Window && !(action == Action::Image && line.action == action)) {
            if (line.action != Action::Window) {
                return Invalid(
                    "one action at a time: --list, --image, --restore, --help or --version");
            }
            line.action = action;
        }
        if (option == 'i') {
            indexes.emplace_back(optarg);
        } else if (option == kRestore) {
            indexes = CommaList(optarg);
        } else if (option == kJson) {
            line.json = true;
        } else if (option == kYes) {
            line.yes = optarg;
        } else if (option == kNoVerify) {
            line.noVerify = true;
        } else if (option == kSkipEmpty) {
            line.skipEmpty = true;
        } else if (option == kNoBmap) {
            line.noBmap = true;
        } else if (option == kExpectSha256) {
            line.expectSha256 = optarg;
            if (line.expectSha256.size() != 64 ||
                line.expectSha256.find_first_not_of("0123456789abcdefABCDEF") !=
                    std::string::npos) {
                return Invalid("--expect-sha256 takes a SHA-256 of 64 hexadecimal digits");
            }
        } else if (option == kRescue) {
            line.rescue = true;
        } else if (option == kVerify) {
            line.verify = true;
        } else if (option == kPartitionsOnly) {
            line.partitionsOnly = true;
        } else if (option == kHash) {
            if (!ParseHashes(optarg, line.extraHashes)) {
                return Invalid("--hash takes md5, sha1 or both, as md5,sha1");
            }
        } else if (option == kRetries) {
            retriesGiven = true;
            if (!ParseNumber(optarg, 0, 100, line.retries)) {
                return Invalid("--retries takes a number from 0 to 100");
            }
        }
    }
    // getopt_long has moved the operands behind the options, in argv, not in words.
    std::vector<std::string> operands(argv.begin() + optind, argv.begin() + argc);
    // Alone, --verify is an action of its own, with the index and the file as its operands.
    if (line.verify && line.action == Action::Window && !operands.empty()) {
        line.action = Action::Verify;
        indexes.push_back(operands.front());
        operands.erase(operands.begin());
    }
    if (line.action == Action::Image || line.action == Action::Verify ||
        line.action == Action::Restore) {
        // --restore writes one image onto every card; --image reads each drive into its own.
        const std::size_t images = line.action == Action::Restore ? 1 : indexes.size();
        bool sound = operands.size() == images;
        for (const std::string& index : indexes) {
            int value = 0;
            sound = sound && ParseNumber(index, 0, drive::kDriveIndexCount - 1, value);
            line.indexes.push_back(value);
        }
        for (const std::string& operand : operands) {
            sound = sound && !operand.empty();
        }
        if (!sound) {
            return Invalid(std::string(line.action == Action::Image    ? "--image"
                                       : line.action == Action::Verify ? "--verify"
                                                                       : "--restore") +
                           " takes a drive index from 0 to 19 and an image file");
        }
        line.imagePaths = operands;
        line.index = line.indexes.front();
        line.imagePath = operands.front();
        for (std::size_t at = 0; at < line.indexes.size(); ++at) {
            if (std::count(line.indexes.begin(), line.indexes.end(), line.indexes[at]) > 1) {
                return Invalid("drive " + std::to_string(line.indexes[at]) + " named twice");
            }
        }
        for (const std::string& path : line.imagePaths) {
            if (std::count(line.imagePaths.begin(), line.imagePaths.end(), path) > 1) {
                return Invalid(path + " named twice: each drive needs its own image");
            }
        }
    } else if (!operands.empty()) {
        return Invalid("unexpected argument " + operands[0]);
    }
    if (line.rescue && line.action != Action::Image) {
        return Invalid("--rescue goes with --image");
    }
    if (line.rescue && line.indexes.size() > 1) {
        return Invalid("--rescue takes one drive at a time");
    }
    if (line.json && line.action != Action::Image && line.action != Action::Restore) {
        return Invalid("--json goes with --image or --restore");
    }
    if (retriesGiven && !line.rescue) {
        return Invalid("--retries goes with --rescue");
    }
    if ((!line.yes.empty() || line.noVerify || line.skipEmpty || !line.expectSha256.empty() ||
         line.noBmap) &&
        line.action != Action::Restore) {
        return Invalid(
            "--yes, --no-verify, --skip-empty, --expect-sha256 and --no-bmap go with --restore");
    }
    if (line.action == Action::Restore &&
        (line.verify || line.rescue || line.partitionsOnly || !line.extraHashes.empty())) {
        return Invalid(
            "--restore reads the card back unless --no-verify; it takes no other option");
    }
    if (line.verify && line.action != Action::Image && line.action != Action::Verify) {
        return Invalid("--verify goes with --image, or takes a drive index and an image file");
    }
    if (!line.extraHashes.empty() && line.action != Action::Image) {
        return Invalid("--hash goes with --image");
    }
    if (line.partitionsOnly && line.action != Action::Image) {
        return Invalid("--partitions-only goes with --image");
    }
    if (line.verify && line.rescue) {
        return Invalid(
            "--verify does not go with --rescue: a rescued image differs where it failed");
    }
    if (line.rescue && imaging::FormatOfName(line.imagePath) != imaging::ImageFormat::Raw) {
        return Invalid(
            "--rescue writes a raw image, which it fills in as sectors come and can "
            "continue later: compress it once the rescue is done");
    }
    if (line.action == Action::Window) {
        return Invalid("nothing to do");
    }
    line.command = CommandText(arguments);
    return line;
}

void PrintUsage(std::FILE* out) {
    std::fputs(
        "Usage: kalvor                        open the window\n"
        "       kalvor --list                 list the removable drives\n"
        "       kalvor --image INDEX FILE     image drive INDEX into FILE\n"
        "              [--partitions-only] [--hash md5,sha1]\n"
        "              [--verify | --rescue [--retries N]]\n"
        "       kalvor --verify INDEX FILE    compare drive INDEX with the image FILE\n"
        "       kalvor --restore INDEX FILE   write the image FILE onto drive INDEX\n"
        "              [--yes=NODE] [--no-verify] [--skip-empty] [--expect-sha256=HEX]\n"
        "              [--no-bmap]\n"
        "       kalvor --restore INDEX,INDEX,... FILE [--yes=NODE,NODE,...]\n"
        "                                     write FILE onto several cards at once\n"
        "       kalvor --image INDEX FILE --image INDEX FILE ...\n"
        "                                     image several drives at once\n"
        "              [--json]               progress and results as JSON lines\n"
        "       kalvor --help | --version\n"
        "\n"
        "--image copies the drive byte for byte into FILE and writes its SHA-256, and the\n"
        "drive's, into FILE.sha256; an existing FILE is replaced only once the new image is\n"
        "complete. FILE.zst is compressed with zstd, FILE.gz with gzip; any other name is a\n"
        "raw image, whose empty stretches take no room on the disk. --verify reads the drive\n"
        "again and compares it with the image's checksum file. --partitions-only images\n"
        "up to the last partition's end (a GPT gets its backup header at the new end), so\n"
        "the image fits a smaller card; without a sound table the whole drive is imaged.\n"
        "Progress is shown once a second; Ctrl+C cancels. --rescue goes on past read errors\n"
        "into a raw FILE: the readable areas first, then the failing ones sector by sector,\n"
        "then each bad sector N more times (default 2); what stays unreadable is zeros.\n"
        "FILE.map, a GNU ddrescue mapfile, tells what was read, and a later --rescue onto\n"
        "the same FILE continues from it. FILE.info records where the image came from:\n"
        "the drive, the times, the hashes; --hash md5,sha1 adds those hashes of the drive\n"
        "to it, and FILE.md5, FILE.sha1 for md5sum -c and sha1sum -c beside a raw FILE.\n"
        "\n"
        "--restore shows the drive and asks for its device node to be typed before it\n"
        "writes; without a terminal, --yes=NODE must name that node. ALL DATA on the drive is\n"
        "replaced; the partition table is written last, so a restore that fails leaves a\n"
        "card without one. The card is then read back and compared with FILE.\n"
        "--skip-empty writes only the image's data: its empty blocks keep the card's old\n"
        "content, and the verify compares the data only. FILE may be raw, .zst, .gz, .xz,\n"
        "bzip2 or a zip holding an image, told by its content; the checksum published\n"
        "beside it (FILE.sha256, FILE.sha, SHA256SUMS, ...) or --expect-sha256=HEX is\n"
        "checked, a compressed file's before anything is written. With FILE.bmap beside\n"
        "it (as bmaptool finds it), only the blocks it maps are written, each checked, and\n"
        "only they are verified; --no-bmap writes the whole image.\n"
        "\n"
        "Several drives at once run each at its own pace, each verified on its own; one\n"
        "that fails is named by its slot (its index) and serial while the others go on.\n"
        "Every card is shown and confirmed in turn; --yes names them all, in order.\n"
        "--json prints a JSON object a line: each drive's progress once a second, then\n"
        "its result with its hashes.\n"
        "\n"
        "Exit status: 0 image complete (or verified, or restored; every drive of several),\n"
        "3 complete but for unreadable areas (--rescue), 1 failed (or the drive differs, or\n"
        "any drive of several failed), 2 wrong usage.\n",
        out);
}

int RunCommandLine(const CommandLine& line, std::FILE* in, std::FILE* out, std::FILE* err) {
    switch (line.action) {
        case Action::List:
            return List(out);
        case Action::Image:
        case Action::Restore:
            if (line.indexes.size() > 1 || line.json) {
                return RunBatch(line, in, out, err);
            }
            return line.action == Action::Image ? Image(line, err) : Restore(line, in, out, err);
        case Action::Verify:
            return Image(line, err);
        case Action::Help:
            PrintUsage(out);
            return kExitComplete;
        case Action::Version:
            std::fprintf(out, "kalvor %s\n", kVersion);
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
