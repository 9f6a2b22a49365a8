#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "drive_io.h"
#include "test_files.h"

namespace win_testing {

// Wine has no readable physical drive: this makes one drive path lead to a file that reports
// removable media of the file's length, for as long as the object lives. Every other drive path
// opens nothing. Reads are the file's own, except that a read touching the bad range
// [badStart, badEnd) fails as a bad sector does.
class FileBackedDrive : public drive::DriveIo {
public:
    FileBackedDrive(std::string drivePath, std::string file, std::uint64_t badStart = 0,
                    std::uint64_t badEnd = 0);
    // Several drives, each drive path leading to its file; their serials are FB0001, FB0002, ...
    explicit FileBackedDrive(std::vector<std::pair<std::string, std::string>> drives);
    ~FileBackedDrive() override;

    HANDLE Open(const char* path) override;
    BOOL QueryGeometry(HANDLE drive, DISK_GEOMETRY& geometry) override;
    BOOL QueryLength(HANDLE drive, GET_LENGTH_INFORMATION& length) override;
    // A USB card reader's descriptor: vendor "Dresmont", product "Test Card", revision "1.0",
    // serial "FB0001" (the first drive's).
    BOOL QueryDescriptor(HANDLE drive, void* answer, DWORD size, DWORD& returned) override;
    BOOL IsWritable(HANDLE drive) override;
    // One FAT32 volume "CARD", mounted at E:.
    BOOL QueryVolumes(HANDLE drive, std::vector<drive::Volume>& volumes) override;
    BOOL Read(HANDLE drive, void* buffer, DWORD size, std::uint64_t offset, DWORD& got) override;
    // The file, opened for reading and writing, as unbuffered as Wine allows.
    HANDLE OpenToWrite(const char* path) override;
    // Records the volume and hands back a handle of nothing: no lock or dismount ever reaches
    // the host's file systems. Each volume named in `busy` refuses, as one with files open.
    HANDLE LockAndDismount(const char* device) override;

    std::vector<std::string> busy;
    std::vector<std::string> locked;  // in the order asked

private:
    // The drive path and file of each drive; which drive each open handle is.
    std::vector<std::pair<std::string, std::string>> m_drives;
    std::map<HANDLE, std::size_t> m_opened;  // several runs open drives at once
    std::mutex m_openedMutex;
    std::uint64_t m_badStart;
    std::uint64_t m_badEnd;
};

// A fresh folder under the temporary folder, removed with its files.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    std::string operator/(const std::string& name) const { return m_path + "\\" + name; }

private:
    std::string m_path;
};

using testing_support::SamePrefix;
using testing_support::WriteRandomFile;
std::uint64_t FileSize(const std::string& path);

// Runs the thread's messages until `done` answers true or `timeoutMs` passes; true if done.
template <typename Done>
bool PumpUntil(Done done, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    while (!done()) {
        if (::GetTickCount() - start > timeoutMs) {
            return false;
        }
        MSG message;
        while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&message);
            ::DispatchMessageA(&message);
        }
        ::Sleep(5);
    }
    return true;
}

}  // namespace win_testing
