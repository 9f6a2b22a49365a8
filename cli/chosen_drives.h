#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "command_line.h"
#include "drive_list.h"
#include "restore/image_facts.h"
#include "run/copy_job.h"

namespace cli {

// The list as the window shows it: sorted by the entries' text, byte by byte.
class CollectedList : public drive::DeviceListControl {
public:
    void ResetContent() override { entries.clear(); }
    void AddString(const std::string& text, const drive::ListedDrive& drive) override;
    std::vector<std::pair<std::string, drive::ListedDrive>> entries;
};

// The drive the list offers at `index`, as --list shows it, with the node a run opens it by;
// false, saying so on `err`, when it offers none.
bool FindListed(const CollectedList& list, int index, drive::Drive& found, std::FILE* err);

// The user confirms a write by the card's own name: `yes` (given as --yes) must be it, or,
// without one, it is typed on the terminal `in`. Anything else, or nothing, cancels.
bool ConfirmedByName(const std::string& yes, int index, const drive::Drive& card, std::FILE* in,
                     std::FILE* out, std::FILE* err);

// The words of a comma-separated list as typed: --restore 1,2,3, --yes=NODE,NODE.
std::vector<std::string> CommaList(const std::string& text);

// The facts of the image a restore writes, for its confirmation; false, saying why and that
// nothing was written to `written` ("the card", "any card"), where they cannot be read.
bool ReadImageToConfirm(const CommandLine& line, imaging::ImageFacts& facts, const char* written,
                        std::FILE* err);

// What a restore will do to `card`, as its confirmation shows it.
void ShowWrite(const drive::Drive& card, const std::string& imagePath,
               const imaging::ImageFacts& facts, std::FILE* out);

// The run the command line asks of `drive` and `imagePath`: a restore confirmed with the image
// file at `imageBytes`, or an image, rescue or verify; one of `several` at once.
imaging::CopyRequest RequestOf(const CommandLine& line, const drive::Drive& drive,
                               const std::string& imagePath, std::uint64_t imageBytes,
                               bool several = false);

// Ctrl+C and a polite kill cancel the runs as the window's Cancel does, for as long as this
// lives.
class CancelOnInterrupt {
public:
    CancelOnInterrupt();
    ~CancelOnInterrupt();
    CancelOnInterrupt(const CancelOnInterrupt&) = delete;
    CancelOnInterrupt& operator=(const CancelOnInterrupt&) = delete;

    static bool Interrupted();

private:
    void (*m_interrupt)(int);
    void (*m_terminate)(int);
};

}  // namespace cli
