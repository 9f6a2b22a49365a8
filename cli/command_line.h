#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "read/digest.h"

namespace cli {

// What the program was asked to do on its command line.
struct CommandLine {
    enum class Action { Window, List, Image, Verify, Restore, Help, Version, Invalid };
    Action action = Action::Window;
    int index = -1;
    std::string imagePath;
    // Every drive and image of the run, in the order given: several with --restore 1,2,3 FILE (one
    // image onto each card) or with --image given once per drive (--image 1 a.img --image 2
    // b.img); index and imagePath are the first of them.
    std::vector<int> indexes;
    std::vector<std::string> imagePaths;
    bool json = false;  // --json: progress and results as JSON objects, one a line
    bool rescue = false;
    int retries = 2;
    bool verify = false;  // with Image: read the drive again afterwards and compare
    bool partitionsOnly = false;
    // With Image: the drive's content is hashed with these too (SHA-256 always is).
    std::vector<imaging::HashKind> extraHashes;
    // With Restore: the device nodes the user names to confirm the write without a terminal,
    // comma-separated in the order of the cards; whether the cards are read back afterwards.
    std::string yes;
    bool noVerify = false;
    bool skipEmpty = false;
    std::string expectSha256;  // --expect-sha256=HEX: the image file's published SHA-256
    bool noBmap = false;       // --no-bmap: the whole image, whatever IMAGE.bmap maps
    std::string command;       // the whole line as typed, for the image's record
    std::string error;         // why the command line is Invalid
};

// Exit statuses of the command line.
inline constexpr int kExitComplete = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitUnreadableAreas = 3;

// `arguments` without the program's name. Nothing, or a first argument that is a toolkit's own
// option (a single dash and a word, such as -platform), leaves the window to run; anything else
// is the program's own command line, and what does not fit it is Invalid.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

void PrintUsage(std::FILE* out);

// Carries out every action but Window; returns the exit status. Messages go to `err`, the list,
// help, version and a restore's confirmation to `out`; a restore on a terminal reads the
// confirmation from `in`. An image run shows its progress on `err` once a second (on a
// terminal, one line rewritten in place), and an interrupt (Ctrl+C) cancels it as the window's
// Cancel does.
int RunCommandLine(const CommandLine& line, std::FILE* in, std::FILE* out, std::FILE* err);

}  // namespace cli
